// Date texts of an Access log table on arbitrary input: the first byte picks
// the date order and the output room, the rest is the column's text (as the
// driver gives it, at most 255 characters); the result is parsed as the
// source parses it. The same text is read as a time kept as text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/log_reader.h"
#include "engine/core/odbc_log_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  vrn::g_engine.logIDate = data[0] % 3;
  vrn::g_engine.logSDate[0] = (data[0] & 4) != 0 ? '.' : '/';
  vrn::g_engine.logSTime[0] = (data[0] & 8) != 0 ? '.' : ':';
  const size_t room = 1 + (data[0] >> 4) * 17;  // 1 .. 256 bytes
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.substr(0, std::min<size_t>(text.find('\0'), 255));

  char out[256];
  std::memset(out, 0x5A, sizeof(out));
  vrn::AccessDateToText(text.c_str(), out, room);
  if (std::memchr(out, 0, room) == nullptr) __builtin_trap();  // always terminated within the room
  struct tm parsed{};
  vrn::ParseOrderedDate(out, vrn::g_engine.logIDate, &parsed);

  SQL_TIMESTAMP_STRUCT t{};
  if (vrn::OdbcTextToTimestamp(text.c_str(), &t)) {
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 61) {
      __builtin_trap();  // only times in range are taken
    }
    std::memset(out, 0x5A, sizeof(out));
    vrn::TimestampToText(t, out, room);
    if (std::memchr(out, 0, room) == nullptr) __builtin_trap();
  }
  return 0;
}
