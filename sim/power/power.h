// System suspend and resume, and the power manager's requests to single devices.
//
// Suspend calls PowerDown of every running device, newest first, so that the ports go down
// before the adapter that serves them; resume calls PowerUp oldest first, so that an adapter
// is back before its ports. Both run on the calling thread, which plays the platform's
// power-management context: they do not wait for calls in progress on the devices.
//
// The power manager reaches a device through a bus-namespace handle (access bit 0x100) opened
// by the device's name, sends one power control request and closes the handle again.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/records.h"
#include "platform/serial.h"
#include "platform/types.h"

namespace sim {

// Returns the number of devices powered down (0 when the system is already suspended).
size_t SystemSuspend();
// Returns the number of devices powered up (0 when the system is not suspended).
size_t SystemResume();
bool SystemSuspended();

// Access code of the power manager's opens.
constexpr uint32_t kPowerManagerAccess =
    plat::kAccessBusNamespace | plat::kAccessRead | plat::kAccessWrite;

// IOCTL_POWER_CAPABILITIES on the named device ("COM1:"). False with the calling thread's
// last-error code set when the device cannot be opened or refuses the request.
bool PowerManagerCapabilities(std::u16string_view device, plat::PowerCapabilities* caps);
// IOCTL_POWER_SET: asks for state (D0 .. D4); *reached (may be null) receives the state the
// device reports afterwards. False with the last-error code set on failure.
bool PowerManagerSetPower(std::u16string_view device, uint32_t state, uint32_t* reached);

}  // namespace sim
