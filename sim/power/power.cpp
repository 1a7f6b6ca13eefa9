#include "sim/power/power.h"

#include <algorithm>
#include <mutex>

#include "platform/kernel.h"
#include "sim/devmgr/devmgr.h"

namespace sim {
namespace {

std::mutex gMu;  // one suspend or resume at a time
bool gSuspended = false;

// One power control request through a bus-namespace handle; keeps the request's last error.
bool PowerRequest(std::u16string_view device, uint32_t code, void* out, uint32_t outLength,
                  uint32_t* actual) {
    plat::Handle h = DeviceOpen(device, kPowerManagerAccess, 0);
    if (h == 0) return false;
    plat::Bool ok = DeviceIoControl(h, code, nullptr, 0, out, outLength, actual);
    uint32_t error = plat::LastErrorCode();
    DeviceClose(h);
    plat::SetLastErrorCode(error);
    return ok != 0;
}

}  // namespace

size_t SystemSuspend() {
    std::lock_guard lock(gMu);
    if (gSuspended) return 0;
    gSuspended = true;
    auto devices = ListDevices();
    std::reverse(devices.begin(), devices.end());
    size_t count = 0;
    for (auto& info : devices) count += DevicePowerDown(info.handle) ? 1 : 0;
    return count;
}

size_t SystemResume() {
    std::lock_guard lock(gMu);
    if (!gSuspended) return 0;
    gSuspended = false;
    size_t count = 0;
    for (auto& info : ListDevices()) count += DevicePowerUp(info.handle) ? 1 : 0;
    return count;
}

bool SystemSuspended() {
    std::lock_guard lock(gMu);
    return gSuspended;
}

bool PowerManagerCapabilities(std::u16string_view device, plat::PowerCapabilities* caps) {
    if (caps == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return false;
    }
    uint32_t actual = 0;
    plat::PowerCapabilities record{};
    if (!PowerRequest(device, plat::IOCTL_POWER_CAPABILITIES, &record, sizeof record, &actual))
        return false;
    *caps = record;
    return true;
}

bool PowerManagerSetPower(std::u16string_view device, uint32_t state, uint32_t* reached) {
    uint32_t io = state;
    uint32_t actual = 0;
    if (!PowerRequest(device, plat::IOCTL_POWER_SET, &io, sizeof io, &actual)) return false;
    if (reached != nullptr) *reached = io;
    return true;
}

}  // namespace sim
