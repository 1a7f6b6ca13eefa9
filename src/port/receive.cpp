// Read: hands received bytes from the ring to the caller under the port's read time-outs.
#include <algorithm>
#include <cstring>

#include "port/entry_points.h"
#include "port/port_device.h"

namespace zel {
namespace {

constexpr uint32_t kMax = plat::kMaxDword;

// Copies one contiguous run out of the ring (up to its end); returns the bytes copied.
uint32_t CopyOutOfRing(PortDevice* device, uint8_t* buffer, uint32_t length) {
    plat::CsEnter(&device->ReceiveBufferLock);
    const uint32_t read = plat::AtomicLoad(device->RxRead);
    const uint32_t n = std::min({ReceiveBufferCount(device), device->RxSize - read, length});
    std::memcpy(buffer, device->RxBuffer + read, n);
    plat::AtomicStore(device->RxRead, AdvanceRingIndex(read, n, device->RxSize));
    plat::CsLeave(&device->ReceiveBufferLock);
    return n;
}

}  // namespace
}  // namespace zel

uint32_t Read(zel::OpenHandle* handle, void* buffer, uint32_t length) {
    using namespace zel;
    if (handle == nullptr || handle->Device == nullptr || !IsPortOpen(handle->Device)) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return kMax;
    }
    if ((handle->Access & plat::kAccessRead) == 0) {
        plat::SetLastErrorCode(plat::kErrorInvalidAccess);
        return kMax;
    }
    if (buffer == nullptr && length != 0) {
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return kMax;
    }
    PortDevice* device = handle->Device;
    plat::CsEnter(&device->ReceiveLock);
    ClearFlags(device, ReadAbort);

    const plat::CommTimeouts t = LoadTimeouts(device);
    uint32_t total;
    uint32_t extra;
    if (t.ReadTotalTimeoutMultiplier == kMax) {
        total = t.ReadTotalTimeoutConstant;
        extra = 0;
    } else {
        total = t.ReadTotalTimeoutMultiplier * length + t.ReadTotalTimeoutConstant;
        extra = t.ReadTotalTimeoutMultiplier * 8;
    }
    uint32_t interval = t.ReadIntervalTimeout;
    if (interval != 0 && interval < kMax - extra) interval += extra;

    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t copied = 0;
    uint32_t elapsed = 0;
    while (length > 0) {
        if (ReceiveBufferCount(device) > 0) {
            const uint32_t n = CopyOutOfRing(device, out, length);
            out += n;
            length -= n;
            copied += n;
        } else {
            if (interval == kMax && (total == 0 || copied > 0)) break;
            const uint32_t limit = total != 0 ? total : kMax;
            if (elapsed >= limit) break;
            uint32_t wait = limit - elapsed;
            if (copied > 0) wait = std::min(wait, interval != 0 ? interval : kMax);
            // An abort that arrived before this wait must not be slept through.
            if (HasFlags(device, ReadAbort)) break;
            const uint32_t start = plat::TickCount();
            if (plat::WaitOne(device->ReceiveEvent, wait) != plat::kWaitSignalled) break;
            elapsed += plat::TickCount() - start;
            if (HasFlags(device, ReadAbort)) break;
            if (!IsPortOpen(device)) {
                plat::SetLastErrorCode(plat::kErrorInvalidHandle);
                break;
            }
        }
        ReleaseReceive(device, false);
    }
    plat::CsLeave(&device->ReceiveLock);
    return copied;
}
