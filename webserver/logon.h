// Logon of remote users. The platform has no logon service of its own, so
// the server checks names and passwords against an account file: the file
// named by env KV_LOGON_USERS, one account a line,
//   name:password:group,group,...
// (blank lines and lines starting with "#" are skipped; names compare
// without regard to case, passwords exactly). Without such a file nobody can
// be logged on, which LogonUserA reports as the missing logon right.
#ifndef KV_WEBSERVER_LOGON_H
#define KV_WEBSERVER_LOGON_H

#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t kErrorPrivilegeNotHeld = 1314;
inline constexpr uint32_t kErrorLogonFailure = 1326;
inline constexpr uint32_t kLogonInteractive = 2;

// Checks the account. True on success with *token set to a non-zero value
// (release it with CloseLogonToken). On failure *error is 1314 when there is
// no account file, else 1326.
bool LogonUserA(const char* user, const char* domain, const char* password, uint32_t logonType, uint32_t provider,
                uint64_t* token, uint32_t* error);
void CloseLogonToken(uint64_t token);

// The account's own spelling of a name that logs on with this password (the
// name compares without case; an account of exactly that spelling comes
// first); "" when none does.
std::string LogonAccountName(const std::string& user, const std::string& password);

// The groups an account belongs to (empty when unknown).
std::vector<std::string> UserGroups(const std::string& user);

#endif
