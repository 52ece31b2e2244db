#include "station/key_file_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "station/printable_text.h"

namespace ternis {

namespace {

bool Inside(const std::string& path, const std::string& folder) {
  std::error_code file_error, base_error;
  const auto file = std::filesystem::weakly_canonical(path, file_error);
  const auto base = std::filesystem::weakly_canonical(folder, base_error);
  if (file_error || base_error || base.empty()) return false;
  const auto [in_base, in_file] = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  return in_base == base.end() && in_file != file.end();
}

}  // namespace

std::string CredentialsDirectory() {
  const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
  struct stat st {};
  if (folder == nullptr || *folder == '\0' || ::stat(folder, &st) != 0) return {};
  return S_ISDIR(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0 ? folder : "";
}

// A file in the credentials folder is systemd's private copy for this
// service: no one else can reach it, whoever owns it and whatever its mode.
std::vector<std::string> KeyFileWarnings(const std::string& path) {
  std::vector<std::string> warnings;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return warnings;
  if (const std::string credentials = CredentialsDirectory();
      !credentials.empty() && Inside(path, credentials))
    return warnings;
  const unsigned mode = st.st_mode & 07777;
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    char text[64];
    std::snprintf(text, sizeof text, "%04o", mode);
    const char* who = (st.st_mode & S_IRWXO) ? "anyone on this machine" : "its group";
    warnings.push_back("key file " + PrintableText(path) + " can be read by " + who + " (mode " +
                       text + "): chmod 600 " + PrintableText(path));
  }
  if (st.st_uid != ::geteuid()) {
    warnings.push_back("key file " + PrintableText(path) + " belongs to another user (uid " +
                       std::to_string(st.st_uid) + ")");
  }
  return warnings;
}

std::vector<std::string> KeyFolderWarnings(const std::string& path) {
  std::vector<std::string> warnings;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !(st.st_mode & (S_IRWXG | S_IRWXO))) return warnings;
  char text[64];
  std::snprintf(text, sizeof text, "%04o", st.st_mode & 07777);
  const char* who = (st.st_mode & S_IRWXO) ? "anyone on this machine" : "its group";
  warnings.push_back("key folder " + path + " can be entered by " + who + " (mode " + text +
                     "): chmod 700 " + path);
  return warnings;
}

}  // namespace ternis
