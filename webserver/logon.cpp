// The account file behind the logon of remote users.
#include "webserver/logon.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace {

struct Account {
  std::string name, password;
  std::vector<std::string> groups;
};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The accounts, or nothing when there is no account file.
std::optional<std::vector<Account>> ReadAccounts() {
  const char* path = std::getenv("KV_LOGON_USERS");
  if (path == nullptr || *path == '\0') return std::nullopt;
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::vector<Account> out;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t a = line.find(':');
    if (a == std::string::npos || a == 0) continue;
    size_t b = line.find(':', a + 1);
    Account acc;
    acc.name = line.substr(0, a);
    acc.password = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (b != std::string::npos) {
      std::string groups = line.substr(b + 1);
      size_t start = 0;
      while (start <= groups.size()) {
        size_t end = groups.find(',', start);
        std::string g = groups.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!g.empty()) acc.groups.push_back(g);
        if (end == std::string::npos) break;
        start = end + 1;
      }
    }
    out.push_back(std::move(acc));
  }
  return out;
}

std::atomic<uint64_t> g_nextToken{1};

}  // namespace

bool LogonUserA(const char* user, const char* /*domain*/, const char* password, uint32_t /*logonType*/,
                uint32_t /*provider*/, uint64_t* token, uint32_t* error) {
  if (token != nullptr) *token = 0;
  auto accounts = ReadAccounts();
  if (!accounts) {
    if (error != nullptr) *error = kErrorPrivilegeNotHeld;
    return false;
  }
  if (user != nullptr && password != nullptr) {
    for (const auto& a : *accounts) {
      if (SameName(a.name, user) && a.password == password) {
        if (token != nullptr) *token = g_nextToken++;
        if (error != nullptr) *error = 0;
        return true;
      }
    }
  }
  if (error != nullptr) *error = kErrorLogonFailure;
  return false;
}

void CloseLogonToken(uint64_t) {}

std::string LogonAccountName(const std::string& user, const std::string& password) {
  auto accounts = ReadAccounts();
  if (!accounts) return {};
  const Account* found = nullptr;
  for (const auto& a : *accounts) {
    if (!SameName(a.name, user) || a.password != password) continue;
    if (a.name == user) return a.name;
    if (found == nullptr) found = &a;
  }
  return found != nullptr ? found->name : std::string();
}

std::vector<std::string> UserGroups(const std::string& user) {
  auto accounts = ReadAccounts();
  if (!accounts) return {};
  for (const auto& a : *accounts) {
    if (SameName(a.name, user)) return a.groups;
  }
  return {};
}
