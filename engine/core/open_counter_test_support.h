// Test helper: counts the opens of files in a folder (the folder's own
// listing among them), as the kernel reports them.
#ifndef VORNIC_CORE_OPEN_COUNTER_TEST_SUPPORT_H
#define VORNIC_CORE_OPEN_COUNTER_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <string>

namespace vrn::test {

// Counts while the object lives. Closes are watched too: the kernel folds an
// event into an identical one still queued, and an open followed by its
// close is never identical to the open before it.
class OpenCounter {
 public:
  explicit OpenCounter(const std::string& folder) {
    fd_ = inotify_init1(IN_NONBLOCK);
    EXPECT_GE(fd_, 0);
    EXPECT_GE(inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_CLOSE), 0);
  }
  ~OpenCounter() {
    if (fd_ >= 0) close(fd_);
  }
  OpenCounter(const OpenCounter&) = delete;
  OpenCounter& operator=(const OpenCounter&) = delete;

  // Opens so far; with a name, only opens of that file.
  size_t Count(const std::string& name = std::string()) {
    alignas(inotify_event) char buffer[1 << 16];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((e->mask & IN_OPEN) != 0) {
          ++opens_;
          if (e->len > 0) ++byName_[e->name];
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
    if (name.empty()) return opens_;
    auto it = byName_.find(name);
    return it == byName_.end() ? 0 : it->second;
  }

 private:
  int fd_ = -1;
  size_t opens_ = 0;
  std::map<std::string, size_t> byName_;
};

}  // namespace vrn::test

#endif
