// The driver's record for the platform's debug-message facility.
#include "platform/debug.h"

namespace zel {

extern const plat::DebugZones gDebugZones;

constinit const plat::DebugZones gDebugZones = {
    u"Serial",
    {u"Init", u"Open", u"Read", u"Write", u"Close", u"Ioctl", u"Thread", u"Events", u"CritSec",
     u"FlowCtrl", u"Infrared", u"User Read", u"Alloc", u"Function", u"Warning", u"Error"},
    0xFFFFFFFFu,
};

}  // namespace zel
