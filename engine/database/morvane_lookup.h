// Lookup of a client address or an authenticated user name in a table of the
// site's own ODBC data source ("MorvaneIP" and "MorvaneAuthUser" settings of
// a profile). One process-wide lookup connection with a driver-manager
// binding and environment of its own, and two prepared statements (address
// form, user form). Used by the thread that writes a report.
#ifndef VORNIC_DATABASE_MORVANE_LOOKUP_H
#define VORNIC_DATABASE_MORVANE_LOOKUP_H

#include <cstddef>

#include <vornic/profile.h>

namespace vrn {

// Size of one column's value buffer and of one printed value.
constexpr size_t kMorvaneValueSize = 300;

// Connects the lookup with the settings' DSN text as the connection string:
// 1 connected (also when it already was, whatever the settings), 0 when the
// settings lack DSN, table, key column or columns, or the connection failed.
int ConnectToMorvaneDatabase(const MorvaneSettings* settings);
// Prepare the address / user statement from the profile's settings: 1
// prepared (or already), 0 otherwise.
int PrepareMorvaneIPQuery(const DravelEntry* profile);
int PrepareMorvaneUserQuery(const DravelEntry* profile);
// Look up one key: 1 with the joined column values in out (empty when no row
// matches), 0 on failure (out empty). out holds size bytes.
int GetMorvaneDataByIP(const DravelEntry* profile, const char* key, char* out, size_t size);
int GetMorvaneDataByUser(const DravelEntry* profile, const char* key, char* out, size_t size);
// Ends the lookup connection; the lookup is unconnected afterwards.
void DisconnectFromMorvaneDatabase();

// The same operations by settings record, as the report writer holds them.
enum MorvaneForm : int { kMorvaneByIP = 0, kMorvaneByUser = 1 };
int PrepareMorvaneQuery(MorvaneForm form, const MorvaneSettings* settings);
int GetMorvaneData(MorvaneForm form, const MorvaneSettings* settings, const char* key, char* out, size_t size);

// True while connected.
bool MorvaneLookupConnected();

}  // namespace vrn

#endif
