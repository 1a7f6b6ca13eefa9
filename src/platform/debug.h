// The driver's debug-zone record and its debug-message macro.
#pragma once

#include "platform/kernel.h"

namespace plat {

// Debug-zone record for the platform's debug-message facility.
struct DebugZones {
    WChar moduleName[32];
    WChar zoneNames[16][32];
    uint32_t zoneMask;
};
static_assert(sizeof(DebugZones) == 32 * 2 + 16 * 32 * 2 + 4);

}  // namespace plat

// ZEL_DEBUGMSG(zoneBit, "format", args...) prints when the zone is on in the record's mask.
// A release build (NDEBUG) compiles every message away.
#ifdef NDEBUG
#define ZEL_DEBUGMSG(zone, ...) ((void)0)
#else
#define ZEL_DEBUGMSG(zone, ...) ::plat::DebugMessage(&::zel::gDebugZones, (zone), __VA_ARGS__)
namespace zel {
extern const ::plat::DebugZones gDebugZones;
}
#endif
