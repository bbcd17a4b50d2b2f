// The open realtime store (period files or ODBC tables).
#ifndef VORNIC_DATABASE_REALTIME_STORE_H
#define VORNIC_DATABASE_REALTIME_STORE_H

namespace vrn {

// Closes the open realtime store, if any.
void CloseRealtimeStore();

}  // namespace vrn

#endif
