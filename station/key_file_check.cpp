#include "station/key_file_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace ternis {

std::vector<std::string> KeyFileWarnings(const std::string& path) {
  std::vector<std::string> warnings;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return warnings;
  const unsigned mode = st.st_mode & 07777;
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    char text[64];
    std::snprintf(text, sizeof text, "%04o", mode);
    const char* who = (st.st_mode & S_IRWXO) ? "anyone on this machine" : "its group";
    warnings.push_back("key file " + path + " can be read by " + who + " (mode " + text +
                       "): chmod 600 " + path);
  }
  if (st.st_uid != ::geteuid()) {
    warnings.push_back("key file " + path + " belongs to another user (uid " +
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
