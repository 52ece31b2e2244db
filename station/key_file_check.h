#pragma once
// M, D and C key files are secrets: a key file that others can read, or
// that belongs to someone else, deserves a warning before it is served.

#include <string>
#include <vector>

namespace ternis {

// One warning per problem with the file's ownership and mode; none when it
// is private to this user, lies in the service's credentials folder (or
// cannot be examined: loading will say why).
std::vector<std::string> KeyFileWarnings(const std::string& path);
// The same for a folder of keys: one others can enter.
std::vector<std::string> KeyFolderWarnings(const std::string& path);

// systemd's folder of the credentials handed to this service
// (LoadCredential=), from $CREDENTIALS_DIRECTORY: only when no one else can
// enter it; empty otherwise.
std::string CredentialsDirectory();

}  // namespace ternis
