/* Export marker of the engine's C interface. */
#ifndef VORNIC_EXPORT_H
#define VORNIC_EXPORT_H

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
#define VORNIC_API extern "C" KV_EXPORT
#define VORNIC_DATA extern "C" KV_EXPORT
#else
#define VORNIC_API extern KV_EXPORT
#define VORNIC_DATA extern KV_EXPORT
#endif

#endif
