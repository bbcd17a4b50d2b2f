// Test helpers of the link analysis folder: a temporary folder, a context
// prepared for an in-memory run without workers, and a small web site served
// by Python's http.server on loopback.
#ifndef KV_LINKANALYSIS_LINK_TESTUTIL_H
#define KV_LINKANALYSIS_LINK_TESTUTIL_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "linkanalysis/linkcontext.h"

namespace kvla::test {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

// Creates the mutexes and the arrays as start-up does, without workers.
void BeginMemoryRun(LinkAnalysisDataStruct* ctx);
// Closes what BeginMemoryRun made (after the save or instead of it).
void EndMemoryRun(LinkAnalysisDataStruct* ctx);

// A web site on a loopback address (127.0.0.1 unless given) served by a
// Python process. Besides the files it answers:
//   /goto?<url>  302 to <url>
//   /empty       nothing: the connection is closed at once
//   /r/<n>       302 to /r/<n-1>; /r/0 is a page
//   /nocontent   204
//   /slow.html   a page after 3 seconds
//   /cookie.html sets the cookie "sid=abc"; /needcookie.html is 403 without it
// Every request is logged as "METHOD PATH|cookie|authorization|host".
class TestSite {
 public:
  explicit TestSite(const std::map<std::string, std::string>& files, const std::string& address = "127.0.0.1");
  ~TestSite();
  int port() const { return port_; }
  std::string host() const { return address_ + ":" + std::to_string(port_); }
  std::vector<std::string> requests() const;
  const std::string& root() const { return root_; }

 private:
  std::string address_;
  TempFolder folder_;
  std::string root_;
  std::string log_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace kvla::test

#endif
