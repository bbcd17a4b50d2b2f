// Rows of the day tables of the ODBC result store made from arbitrary bytes:
// the fuzz target feeds its inputs through this, and the tests use it to
// replay inputs the fuzzer once found, exactly as the fuzzer stored them.
#ifndef VORNIC_DATABASE_ODBC_FUZZ_ROWS_H
#define VORNIC_DATABASE_ODBC_FUZZ_ROWS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/database/item_tables.h"
#include "engine/database/odbc_store.h"

namespace vrn::odbcfuzz {

// Bytes turned into column values: counts, orders, link words, interval
// numbers, detail counts and names.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Value() {
    const uint8_t b = Byte();
    switch (b >> 5) {
      case 0:
        return b & 31;
      case 1:
        return kOdbcNoLink;
      case 2:
        return kOdbcTemplateArrays;
      case 3:
        return kOdbcSessionTable;
      case 4: {
        // Either beyond every limit or a modest count: counts in between
        // are honest work for the loader, not a fault to find.
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
        return (b & 1) ? v | 0x40000000u : v & 0x3FFu;
      }
      case 5:
        return (b & 1) ? kTopSearchKeywords : kTopSearchEngines;
      default:
        return b & 127;
    }
  }
  std::string Text() {
    static const char kAlphabet[] = "ab.0-9 ";
    std::string s = "'";
    for (int n = Byte() % 6; n > 0; --n) s += kAlphabet[Byte() % (sizeof kAlphabet - 1)];
    return s + "'";
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The INSERT statements of up to 64 rows of the day starting at `dayStart`:
// each row takes a byte choosing one of the day tables, then one value per
// column after StartTime.
inline std::vector<std::string> DayRowStatements(const uint8_t* data, size_t size, uint32_t dayStart) {
  std::vector<std::string> statements;
  Input in(data, size);
  const std::string start = std::to_string(dayStart);
  for (int rows = 0; in.More() && rows < 64; ++rows) {
    const int table = 1 + in.Byte() % (kOdbcTableCount - 1);  // any day table
    const odbcstore::TableDef& t = odbcstore::Table(table);
    std::string sql = std::string("INSERT INTO ") + t.name + " VALUES (" + start;
    for (int c = 1; c < t.columnCount; ++c) {
      sql += ", ";
      sql += t.columns[c].textSize ? in.Text() : std::to_string(in.Value());
    }
    sql += ")";
    statements.push_back(std::move(sql));
  }
  return statements;
}

}  // namespace vrn::odbcfuzz

#endif
