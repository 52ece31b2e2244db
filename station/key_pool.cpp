#include "station/key_pool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "station/image_digest.h"
#include "station/unit_record.h"

namespace ternis {

namespace {

constexpr const char* kFolderNames[] = {"ready", "issued", "used", "spoiled"};
constexpr const char* kLockName = ".lock";
constexpr const char* kLogName = "pool-log.jsonl";

std::string ErrnoText(int error) {
  return std::strerror(error);
}

bool SyncFolder(int fd) {
  return ::fsync(fd) == 0 || errno == EINVAL;  // a file system without fsync on folders
}

// Why a file in ready/ cannot be a key, or empty when it can be read as one.
std::string WhyNotAKey(int folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return "cannot be examined: " + ErrnoText(errno);
  if (S_ISLNK(st.st_mode)) return "a symbolic link, not a key file";
  if (S_ISFIFO(st.st_mode)) return "a FIFO, not a key file";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_size == 0) return "empty";
  const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "unreadable: " + ErrnoText(errno);
  ::close(fd);
  return {};
}

}  // namespace

bool KeyPool::Open(const std::string& dir, bool lock, std::string& error) {
  struct stat top {};
  if (::stat(dir.c_str(), &top) != 0) {
    error = "key pool " + dir + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISDIR(top.st_mode)) {
    error = "key pool " + dir + ": not a folder";
    return false;
  }
  dir_ = dir;
  if (lock) {
    lock_.reset(::open((dir + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock_.valid()) {
      error = "key pool " + dir + ": cannot open its lock file: " + ErrnoText(errno);
      return false;
    }
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
      error = errno == EWOULDBLOCK ? "key pool " + dir + " is in use by another station"
                                   : "key pool " + dir + ": cannot lock: " + ErrnoText(errno);
      lock_.reset();
      return false;
    }
  }
  bool created = false;
  for (int f = 0; f < kFolders; ++f) {
    const std::string path = dir + "/" + kFolderNames[f];
    if (::mkdir(path.c_str(), 0700) == 0) {
      created = true;
    } else if (errno != EEXIST) {
      error = "key pool " + dir + ": cannot create " + kFolderNames[f] + "/: " + ErrnoText(errno);
      return false;
    }
    folders_[f].reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folders_[f].valid() || ::fstat(folders_[f].get(), &st) != 0) {
      error = "key pool " + dir + ": " + kFolderNames[f] + "/ is not a folder (" +
              ErrnoText(errno) + ")";
      return false;
    }
    // rename(2) across file systems is a copy: a crash could leave a key twice.
    if (st.st_dev != top.st_dev) {
      error = "key pool " + dir + ": " + kFolderNames[f] +
              "/ is on another file system; a key could not be moved in one step";
      return false;
    }
  }
  if (created) {
    UniqueFd top_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top_fd.valid()) SyncFolder(top_fd.get());
  }
  return true;
}

std::vector<std::string> KeyPool::Names(Folder folder) const {
  std::vector<std::string> names;
  const int fd = ::openat(folders_[folder].get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  DIR* listing = ::fdopendir(fd);
  if (!listing) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> KeyPool::Move(const std::string& name, Folder from, Folder to,
                                         std::string& error) {
  std::string target = name;
  for (int n = 1;; ++n) {
    if (::renameat2(folders_[from].get(), name.c_str(), folders_[to].get(), target.c_str(),
                    RENAME_NOREPLACE) == 0)
      break;
    if (errno != EEXIST || n > 1000) {
      error = "cannot move key " + name + " from " + kFolderNames[from] + "/ to " +
              kFolderNames[to] + "/: " + ErrnoText(errno);
      return std::nullopt;
    }
    target = name + "~" + std::to_string(n);  // never overwrite a key's trace
  }
  if (!SyncFolder(folders_[to].get()) || !SyncFolder(folders_[from].get())) {
    error = "cannot move key " + name + " from " + kFolderNames[from] + "/ to " + kFolderNames[to] +
            "/: " + ErrnoText(errno);
    // Not known to be on disk: put it back where it was, if that still works.
    ::renameat2(folders_[to].get(), target.c_str(), folders_[from].get(), name.c_str(),
                RENAME_NOREPLACE);
    return std::nullopt;
  }
  return target;
}

void KeyPool::Log(const std::string& name, Folder from, Folder to, const std::string& reason) {
  const nlohmann::json line{{"time", IsoLocalTime(std::chrono::system_clock::now())},
                            {"key", name},
                            {"from", kFolderNames[from]},
                            {"to", kFolderNames[to]},
                            {"reason", reason}};
  const std::string text = line.dump() + "\n";
  UniqueFd fd(
      ::open((dir_ + "/" + kLogName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) return;
  if (::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()))
    ::fsync(fd.get());
}

std::vector<KeyMove> KeyPool::Recover() {
  std::lock_guard lock(mutex_);
  std::vector<KeyMove> moves;
  for (const std::string& name : Names(kIssued)) {
    std::string error;
    const auto moved = Move(name, kIssued, kSpoiled, error);
    if (!moved) {
      moves.push_back({name, "issued", error});
      continue;
    }
    Log(name, kIssued, kSpoiled, kStoppedIssued);
    moves.push_back({*moved, "spoiled", kStoppedIssued});
  }
  return moves;
}

std::optional<IssuedKey> KeyPool::Take(std::vector<KeyMove>& moved, std::string& error) {
  std::lock_guard lock(mutex_);
  for (const std::string& name : Names(kReady)) {
    std::string why = WhyNotAKey(folders_[kReady].get(), name);
    std::shared_ptr<const ImageSnapshot> image;
    if (why.empty()) {
      int load_error = 0;
      image = ImageSnapshot::Load(dir_ + "/ready/" + name, &load_error, true);
      if (!image && load_error == ENOMEM) {  // the station's lack, not the key's fault
        error = "cannot load key " + name + ": " + ErrnoText(load_error);
        return std::nullopt;
      }
      if (!image)
        why = "unreadable: " + ErrnoText(load_error);
      else if (image->contents().empty())
        why = "empty";
    }
    if (!why.empty()) {
      std::string move_error;
      if (const auto to = Move(name, kReady, kSpoiled, move_error)) {
        Log(name, kReady, kSpoiled, why);
        moved.push_back({*to, "spoiled", why});
      } else {
        moved.push_back({name, "ready", why + "; " + move_error});
      }
      continue;
    }
    const auto issued = Move(name, kReady, kIssued, error);
    if (!issued) return std::nullopt;
    std::string sha256 = Sha256Hex(image->contents());
    return IssuedKey{*issued, std::move(image), std::move(sha256)};
  }
  return std::nullopt;
}

bool KeyPool::Finish(const std::string& name, KeyFate fate, std::string& error) {
  std::lock_guard lock(mutex_);
  const Folder to = fate == KeyFate::kUsed ? kUsed : fate == KeyFate::kSpoiled ? kSpoiled : kReady;
  return Move(name, kIssued, to, error).has_value();
}

bool KeyPool::ReturnSpoiled(const std::string& name, std::string& error) {
  std::lock_guard lock(mutex_);
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) {
    error = "\"" + name + "\" is not a key's name in spoiled/";
    return false;
  }
  struct stat st {};
  if (::fstatat(folders_[kSpoiled].get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    error = "no key " + name + " in " + dir_ + "/spoiled/";
    return false;
  }
  if (!Move(name, kSpoiled, kReady, error)) return false;
  Log(name, kSpoiled, kReady, "returned by hand");
  return true;
}

KeyPoolCounts KeyPool::Counts() const {
  std::lock_guard lock(mutex_);
  return {Names(kReady).size(), Names(kIssued).size(), Names(kUsed).size(), Names(kSpoiled).size()};
}

}  // namespace ternis
