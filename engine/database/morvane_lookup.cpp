// The site database lookup over ODBC (see morvane_lookup.h).
#include "engine/database/morvane_lookup.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database/odbc_library.h"
#include "platform/ui/msgbox.h"

namespace vrn {

namespace {

struct LookupState {
  OdbcBinding binding;  // the lookup's own module and environment
  SQLHDBC connection = SQL_NULL_HDBC;
  bool connected = false;
  SQLHSTMT statements[2] = {SQL_NULL_HSTMT, SQL_NULL_HSTMT};  // by MorvaneForm
};
LookupState g_lookup;

SQLRETURN Report(SQLRETURN result, const char* operation, SQLHSTMT statement) {
  return ReportODBCErrorIn(g_lookup.binding, result, operation, g_lookup.connection, statement);
}

bool HasText(const char* text, size_t width) { return text != nullptr && strnlen(text, width) != 0; }

std::string Bounded(const char* text, size_t width) { return std::string(text, strnlen(text, width)); }

const MorvaneSettings* SettingsOf(MorvaneForm form, const DravelEntry* profile) {
  if (profile == nullptr) return nullptr;
  return form == kMorvaneByIP ? profile->MorvaneIP : profile->MorvaneAuthUser;
}

size_t ColumnCount(const MorvaneSettings* settings) {
  size_t n = 0;
  for (const MorvaneColumn* c = settings->Columns; c != nullptr; c = c->Next) ++n;
  return n;
}

// One column's fetch buffer.
struct ColumnValue {
  const MorvaneColumn* column;
  SQLSMALLINT cType;
  union {
    char text[kMorvaneValueSize];
    SQLINTEGER integer;
    double real;
  } value;
  SQLLEN indicator;
};

SQLSMALLINT FetchType(uint32_t dataType) {
  switch (dataType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
      return SQL_C_CHAR;
    case SQL_NUMERIC:
    case SQL_INTEGER:
    case SQL_SMALLINT:
      return SQL_C_SLONG;
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return SQL_C_DOUBLE;
    default:
      return SQL_C_DEFAULT;
  }
}

// The printed value of a fetched column (empty for a null or a type that
// is not printed).
std::string PrintValue(const ColumnValue& v) {
  char text[kMorvaneValueSize] = "";
  if (v.indicator != SQL_NULL_DATA) {
    switch (v.cType) {
      case SQL_C_CHAR:
        std::snprintf(text, sizeof text, "%s", v.value.text);
        break;
      case SQL_C_SLONG:
        std::snprintf(text, sizeof text, "%d", static_cast<int>(v.value.integer));
        break;
      case SQL_C_DOUBLE:
        std::snprintf(text, sizeof text, "%f", v.value.real);
        break;
      default:
        break;
    }
  }
  return text;
}

}  // namespace

bool MorvaneLookupConnected() { return g_lookup.connected; }

int ConnectToMorvaneDatabase(const MorvaneSettings* settings) {
  if (g_lookup.connected) return 1;
  if (settings == nullptr || !HasText(settings->DSN, sizeof settings->DSN) ||
      !HasText(settings->Table, sizeof settings->Table) || !HasText(settings->KeyColumn, sizeof settings->KeyColumn) ||
      settings->Columns == nullptr) {
    return 0;
  }
  if (!LoadODBCBinding(&g_lookup.binding)) {
    kv::ui::MessageBox(0, "Error loading ODBC library", "Kelvaron", kv::ui::MbOk);
    return 0;
  }
  const OdbcFunctions& fn = g_lookup.binding.fn;
  if (OdbcSucceeded(Report(fn.AllocConnect(g_lookup.binding.environment, &g_lookup.connection),
                           "Error allocating SQL connection", SQL_NULL_HSTMT))) {
    std::string dsn = Bounded(settings->DSN, sizeof settings->DSN);
    SQLCHAR outText[300] = {};
    SQLSMALLINT outLength = 0;
    SQLRETURN r = fn.DriverConnect(g_lookup.connection, nullptr, reinterpret_cast<SQLCHAR*>(dsn.data()), SQL_NTS,
                                   outText, static_cast<SQLSMALLINT>(sizeof outText - 1), &outLength,
                                   SQL_DRIVER_NOPROMPT);
    Report(r, "Error connecting to driver", SQL_NULL_HSTMT);
    if (OdbcSucceeded(r)) {
      g_lookup.connected = true;
      return 1;
    }
    fn.FreeConnect(g_lookup.connection);
  }
  g_lookup.connection = SQL_NULL_HDBC;
  UnloadODBCBinding(&g_lookup.binding);
  return 0;
}

int PrepareMorvaneQuery(MorvaneForm form, const MorvaneSettings* settings) {
  SQLHSTMT& statement = g_lookup.statements[form];
  if (statement != SQL_NULL_HSTMT) return 1;
  if (g_lookup.binding.module == nullptr || !g_lookup.connected || settings == nullptr ||
      settings->Columns == nullptr) {
    return 0;
  }
  const OdbcFunctions& fn = g_lookup.binding.fn;
  if (!OdbcSucceeded(Report(fn.AllocStmt(g_lookup.connection, &statement), "SQLAllocStmt", SQL_NULL_HSTMT))) {
    statement = SQL_NULL_HSTMT;
    return 0;
  }
  std::string text = "SELECT * FROM " + Bounded(settings->Table, sizeof settings->Table) + " WHERE " +
                     Bounded(settings->KeyColumn, sizeof settings->KeyColumn) + " = ?";
  SQLRETURN r = fn.Prepare(statement, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  if (!OdbcSucceeded(Report(r, "SQLPrepare", statement))) {
    // Dropped, so that the next use prepares again.
    fn.FreeStmt(statement, SQL_DROP);
    statement = SQL_NULL_HSTMT;
    return 0;
  }
  return 1;
}

int GetMorvaneData(MorvaneForm form, const MorvaneSettings* settings, const char* key, char* out, size_t size) {
  if (out != nullptr && size != 0) out[0] = 0;
  SQLHSTMT statement = g_lookup.statements[form];
  if (g_lookup.binding.module == nullptr || statement == SQL_NULL_HSTMT || settings == nullptr || key == nullptr ||
      out == nullptr || size == 0) {
    return 0;
  }
  const OdbcFunctions& fn = g_lookup.binding.fn;
  std::string keyText(key);
  SQLLEN keyIndicator = SQL_NTS;
  SQLRETURN r = fn.BindParameter(statement, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, keyText.size() + 1, 0,
                                 keyText.data(), static_cast<SQLLEN>(keyText.size() + 1), &keyIndicator);
  if (!OdbcSucceeded(Report(r, "SQLBindParameter", statement))) return 0;
  r = fn.Execute(statement);
  Report(r, "SQLExecute", statement);
  if (r != SQL_SUCCESS) {
    fn.FreeStmt(statement, SQL_CLOSE);
    fn.FreeStmt(statement, SQL_RESET_PARAMS);
    return 0;
  }
  // The value buffers live for this lookup only: the columns are bound
  // again at every lookup and unbound before it returns.
  std::vector<ColumnValue> values;
  values.reserve(ColumnCount(settings));
  bool ok = true;
  for (const MorvaneColumn* c = settings->Columns; c != nullptr; c = c->Next) {
    values.push_back(ColumnValue{});
    ColumnValue& v = values.back();
    v.column = c;
    v.cType = FetchType(c->DataType);
    const SQLLEN length = v.cType == SQL_C_CHAR ? 251 : static_cast<SQLLEN>(sizeof v.value);
    r = fn.BindCol(statement, static_cast<SQLUSMALLINT>(c->ColumnNumber), v.cType, &v.value, length, &v.indicator);
    if (r != SQL_SUCCESS) {
      Report(r, "SQLBindCol", statement);
      ok = false;
      break;
    }
  }
  int result = 0;
  if (ok) {
    r = fn.Fetch(statement);
    if (r == SQL_NO_DATA) {
      result = 1;
    } else if (OdbcSucceeded(r)) {
      std::string joined;
      size_t printed = 0;
      for (uint32_t seq = 0; printed < values.size(); ++seq) {
        const ColumnValue* found = nullptr;
        for (const ColumnValue& v : values) {
          if (v.column->ReportSequence == seq) {
            found = &v;
            break;
          }
        }
        if (found == nullptr) break;
        if (printed++ != 0) joined += "<BR>";
        joined += PrintValue(*found);
      }
      std::snprintf(out, size, "%s", joined.c_str());
      result = 1;
    } else {
      Report(r, "SQLFetch", statement);
    }
  }
  fn.FreeStmt(statement, SQL_CLOSE);
  fn.FreeStmt(statement, SQL_UNBIND);
  fn.FreeStmt(statement, SQL_RESET_PARAMS);
  return result;
}

int PrepareMorvaneIPQuery(const DravelEntry* profile) {
  return PrepareMorvaneQuery(kMorvaneByIP, SettingsOf(kMorvaneByIP, profile));
}
int PrepareMorvaneUserQuery(const DravelEntry* profile) {
  return PrepareMorvaneQuery(kMorvaneByUser, SettingsOf(kMorvaneByUser, profile));
}
int GetMorvaneDataByIP(const DravelEntry* profile, const char* key, char* out, size_t size) {
  return GetMorvaneData(kMorvaneByIP, SettingsOf(kMorvaneByIP, profile), key, out, size);
}
int GetMorvaneDataByUser(const DravelEntry* profile, const char* key, char* out, size_t size) {
  return GetMorvaneData(kMorvaneByUser, SettingsOf(kMorvaneByUser, profile), key, out, size);
}

void DisconnectFromMorvaneDatabase() {
  if (g_lookup.binding.module != nullptr) {
    const OdbcFunctions& fn = g_lookup.binding.fn;
    if (g_lookup.binding.environment != SQL_NULL_HENV && g_lookup.connection != SQL_NULL_HDBC) {
      for (int form : {kMorvaneByUser, kMorvaneByIP}) {
        if (g_lookup.statements[form] != SQL_NULL_HSTMT) fn.FreeStmt(g_lookup.statements[form], SQL_DROP);
      }
      fn.Disconnect(g_lookup.connection);
      fn.FreeConnect(g_lookup.connection);
    }
    UnloadODBCBinding(&g_lookup.binding);
  }
  g_lookup.statements[0] = g_lookup.statements[1] = SQL_NULL_HSTMT;
  g_lookup.connection = SQL_NULL_HDBC;
  g_lookup.connected = false;
}

}  // namespace vrn
