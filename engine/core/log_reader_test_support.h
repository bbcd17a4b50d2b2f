// Helpers shared by the log reading tests: temporary folders and files, a
// time-zone scope, and reading a whole log into comparable hit snapshots.
#ifndef VORNIC_CORE_LOG_READER_TEST_SUPPORT_H
#define VORNIC_CORE_LOG_READER_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/core/line_parsers.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "engine/core/w3c_format.h"
#include "platform/testsupport/tempdir.h"
#include "platform/testsupport/timezone.h"

namespace readertest {

// A fresh folder under the test temp folder, removed with its content.
class TempFolder : public kv::test::TempFolder {
 public:
  TempFolder() : kv::test::TempFolder("kvreader") {}
  std::string File(const std::string& name) const { return *this / name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string p = File(name);
    FILE* f = std::fopen(p.c_str(), "wb");
    if (f != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return p;
  }
};

// Sets TZ for the scope (and forgets cached zone offsets).
class TzScope : public kv::test::ScopedTimeZone {
 public:
  explicit TzScope(const char* tz) : kv::test::ScopedTimeZone(tz, vrn::ResetHitTimeCache) {}
};

inline std::string Text(const char* p) { return p == nullptr ? std::string("<null>") : std::string(p); }

// What a test compares of a hit.
struct Snapshot {
  uint16_t format = 0;
  uint32_t time = 0;
  uint16_t method = 0;
  uint32_t status = 0;
  uint32_t bytes = 0;
  std::string client, server, user, date, methodText, url, protocol, statusText, bytesSent, bytesReceived,
      referrer, agent, cookie, serverName;
  bool operator==(const Snapshot&) const = default;
};

inline Snapshot Snap(const vrn::HitRecord& h) {
  Snapshot s;
  s.format = h.FormatCode;
  s.time = h.HitTime;
  s.method = h.MethodCode;
  s.status = h.StatusCode;
  s.bytes = h.Bytes;
  s.client = Text(h.ClientAddress);
  s.server = Text(h.ServerAddress);
  s.user = Text(h.UserName);
  s.date = Text(h.DateText);
  s.methodText = Text(h.Method);
  s.url = Text(h.URL);
  s.protocol = Text(h.Protocol);
  s.statusText = Text(h.StatusText);
  s.bytesSent = Text(h.BytesSentText);
  s.bytesReceived = Text(h.BytesReceivedText);
  s.referrer = Text(h.Referrer);
  s.agent = Text(h.UserAgent);
  s.cookie = Text(h.Cookie);
  s.serverName = Text(h.ServerName);
  return s;
}

inline std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
  return os << "{fmt " << s.format << " t " << s.time << " m " << s.method << " st " << s.status << " b " << s.bytes
            << " client '" << s.client << "' url '" << s.url << "' ref '" << s.referrer << "' agent '" << s.agent
            << "' date '" << s.date << "'}";
}

// Reads the whole source from 0 as a report run does (window 100000, going
// on after answers of 2).
inline std::vector<Snapshot> ReadAllHits(vrn::LogSourceHandle source, uint32_t window = vrn::kDefaultReadWindow) {
  std::vector<Snapshot> hits;
  uint64_t pos = 0;
  for (int guard = 0; guard < 10000000; ++guard) {
    vrn::HitRecord hit;
    std::memset(&hit, 0, sizeof(hit));
    uint64_t next = pos;
    const uint16_t r = vrn::ReadNextHit(source, pos, &hit, &next, window);
    if (r == vrn::kReadHit) {
      hits.push_back(Snap(hit));
      vrn::FreeHitLine(&hit);
    }
    if (r == vrn::kReadEnd) break;
    EXPECT_GT(next, pos) << "the reader must make progress";
    if (next <= pos) break;
    pos = next;
  }
  return hits;
}

inline std::vector<Snapshot> ReadFileHits(const std::string& path, uint32_t window = vrn::kDefaultReadWindow) {
  const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(path.c_str());
  EXPECT_NE(source, vrn::kNoLogSource) << path;
  if (source == vrn::kNoLogSource) return {};
  int found = 0;
  EXPECT_EQ(vrn::ReadW3CFieldsHeader(source, &found), 1);
  if (found) vrn::ResetLogReader();
  auto hits = ReadAllHits(source, window);
  vrn::CloseLogSource(source);
  return hits;
}

// Parses one line as the reader does and returns the snapshot; *ok tells
// whether a hit came out.
inline Snapshot ParseText(const std::string& text, bool* ok) {
  readertest::TempFolder dir;
  const std::string path = dir.Write("one.log", text);
  auto hits = ReadFileHits(path);
  *ok = hits.size() == 1;
  return hits.empty() ? Snapshot() : hits[0];
}

// Engine settings the parsers read, reset to their defaults.
inline void ResetEngineSettings() {
  vrn::g_engine.disableColdFusion = 0;
  vrn::g_engine.cookieEnable = 1;
  vrn::g_engine.cookieValidate = 0;
  vrn::g_engine.logIDate = 0;
  vrn::g_engine.logSDate[0] = '/';
  vrn::g_engine.logSTime[0] = ':';
  vrn::g_engine.unresolvedDomain = "Unresolved";
  vrn::g_engine.unresolvedAddressType = "Numeric";
  vrn::g_engine.unresolvedCountry = "Unknown";
  vrn::SetReaderDateLayout(0);
  vrn::ResetSkippedLineCount();
  vrn::ForgetReaderSource();
  vrn::ResetW3CColumns();
  vrn::ResetSyntheticHitTimes();
  vrn::ResetHitTimeCache();
}

// Wall-clock seconds of a date (no zone move).
inline uint32_t Wall(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<uint32_t>(vrn::WallClockSeconds(t));
}

}  // namespace readertest

#endif
