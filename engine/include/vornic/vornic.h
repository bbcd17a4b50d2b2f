/* The public interface of the analysis engine libVornic.so.
 *
 * Exports are C calls with the engine's names. Results follow the engine's
 * convention: 0 success and -1 failure (16-bit), with 16-bit error words
 * (0x8002 no data, 0x8008 a log or view file could not be opened or written,
 * 0x8009 out of memory) through out-parameters.
 *
 * One header per family; this one includes them all. */
#ifndef VORNIC_VORNIC_H
#define VORNIC_VORNIC_H

#include <vornic/export.h>
#include <vornic/registration.h>
#include <vornic/settings.h>
#include <vornic/profile.h>
#include <vornic/filter.h>
#include <vornic/logfiles.h>
#include <vornic/dns.h>
#include <vornic/report.h>
#include <vornic/odbc.h>
#include <vornic/periodfiles.h>
#include <vornic/remote.h>
#include <vornic/reportsettings.h>
#include <vornic/summary.h>
#include <vornic/templates.h>
#include <vornic/adviews.h>
#include <vornic/realtime.h>
#include <vornic/odbcstore.h>
#include <vornic/titles.h>

#endif
