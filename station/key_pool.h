#pragma once
// A folder of key files, each served to one box only. ready/ holds the keys
// not yet served (any names, one file a key, taken in name order; names
// starting with '.' are left alone, as files still being copied in),
// issued/ the keys of units in progress, used/ the keys served whole to a
// box whose unit passed, spoiled/ the keys some of whose bytes left in a
// unit that failed or was aborted, and the files that cannot be keys.
//
// A key moves only by rename(2) followed by an fsync of both folders, so a
// key is in issued/, on disk, before its first byte can leave, and a crash
// leaves every key in exactly one folder. A lock file held with flock for
// the pool's life keeps a second station away. Every move that is not a
// unit's own (a bad file, a key found issued at start, a key returned by
// hand) is appended to the pool's log, `pool-log.jsonl`, one JSON object a
// line.
//
// Thread-safe: Take runs on the receive threads, the rest on the owner's.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/image_file.h"
#include "protocol/unique_fd.h"
#include "station/key_source.h"

namespace ternis {

class KeyPool : public KeySource {
 public:
  KeyPool() = default;
  KeyPool(const KeyPool&) = delete;
  KeyPool& operator=(const KeyPool&) = delete;

  // Opens the pool at `dir`, creating its folders (0700) when absent. With
  // `lock`, refuses a pool another station holds. False with the reason.
  bool Open(const std::string& dir, bool lock, std::string& error);
  const std::string& dir() const { return dir_; }

  // Moves every key left in issued/ (a station that stopped mid-unit) to spoiled/.
  std::vector<KeyMove> Recover() override;

  // The next key in name order, moved to issued/ and loaded; files that
  // cannot be keys go to spoiled/ on the way (told in `moved`). Nullopt when
  // ready/ is empty, or with `error` set when a move failed (the key stays
  // where it was).
  std::optional<IssuedKey> Take(std::vector<KeyMove>& moved, std::string& error);
  std::optional<IssuedKey> Take(const std::string&, std::vector<KeyMove>& moved,
                                std::string& error) override {
    return Take(moved, error);
  }

  // Moves an issued key to where its unit's end sends it.
  bool Finish(const std::string& name, KeyFate fate, std::string& error) override;

  // By hand only: a spoiled key back to ready/.
  bool ReturnSpoiled(const std::string& name, std::string& error);

  KeyPoolCounts Counts() const override;
  std::string ReadyPlace() const override { return "ready/"; }

 private:
  enum Folder { kReady, kIssued, kUsed, kSpoiled, kFolders };
  // rename(2) without replacing, then fsync of both folders. A name taken
  // in the target gets a suffix; the name it ended with is returned.
  std::optional<std::string> Move(const std::string& name, Folder from, Folder to,
                                  std::string& error);
  void Log(const std::string& name, Folder from, Folder to, const std::string& reason);
  std::vector<std::string> Names(Folder folder) const;

  mutable std::mutex mutex_;
  std::string dir_;
  UniqueFd folders_[kFolders];
  UniqueFd lock_;
};

}  // namespace ternis
