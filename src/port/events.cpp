// The interrupt handler the hardware object runs, comm-event delivery and the comm-event wait.
#include "hw/serial_port.h"
#include "port/port_device.h"
#include "port/stream_events.h"

namespace zel {
namespace {

constexpr uint32_t kScratchBytes = 16;

// Moves received bytes from the hardware into the ring; returns the bytes that count as
// arrived data, and adds the transmit kind to *type when an XON was among them.
uint32_t ReceiveIntoRing(PortDevice* device, uint32_t* type) {
    SerialPort* port = device->Port;
    const uint32_t write = plat::AtomicLoad(device->RxWrite);
    const uint32_t room = ReceiveContiguousRoom(device);
    uint32_t n;
    if (room > 0) {
        // The hardware object stores straight into the ring.
        n = room;
        port->ReceiveData(device->RxBuffer + write, &n);
        if (n > room) n = room;
    } else {
        // Ring full: the bytes are taken from the hardware and lost. The loss is reported as a
        // receive overflow, so an application can tell a dropped byte from one never sent.
        uint8_t scratch[kScratchBytes];
        n = kScratchBytes;
        port->ReceiveData(scratch, &n);
        if (n > 0) port->NotifyLineErrors(plat::CE_RXOVER);
        n = 0;
    }
    if (n > 0 && HasFlags(device, SoftwareFlow)) {
        bool xonSeen = false;
        n = FilterFlowChars(device, device->RxBuffer + write, n, &xonSeen);
        if (xonSeen) *type |= InterruptTransmit;
    }
    // Published only after the bytes are in place, so Read never sees a byte before it is.
    plat::AtomicStore(device->RxWrite, AdvanceRingIndex(write, n, device->RxSize));
    ThrottleReceive(device);
    return n;
}

}  // namespace

void HandleInterrupt(PortDevice* device) {
    SerialPort* port = device->Port;
    uint32_t type = port->GetInterruptType();
    if (type == InterruptNone) return;
    bool arrived = false;
    while (type != InterruptNone) {
        if (type & InterruptReceive) {
            if (ReceiveIntoRing(device, &type) > 0) arrived = true;
        }
        if (type & InterruptTransmit) PumpTransmit(device);
        if (type & InterruptModem) port->ServiceModemStatus();
        if (type & InterruptLine) port->ServiceLineStatus();
        type = port->GetInterruptType();
    }
    if (arrived) {
        plat::EventSet(device->ReceiveEvent);
        EvaluateEvents(device, plat::EV_RXCHAR);
    }
}

void EvaluateEvents(PortDevice* device, uint32_t events) {
    if (!IsPortOpen(device)) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return;
    }
    if ((events & plat::AtomicLoad(device->CombinedEventMask)) == 0) return;
    // The walk lock keeps Open and Close from changing the links (and Close from freeing a
    // handle) while the list is walked; only EventLocks are taken inside it.
    plat::CsEnter(&device->OpenListWalkLock);
    for (ListLink* link = device->OpenList.next; link != &device->OpenList; link = link->next) {
        OpenHandle* handle = HandleOfLink(link);
        plat::CsEnter(&handle->EventLock);
        if (events & handle->EventMask) {
            plat::AtomicOr(handle->EventsSeen, events);
            if (handle->CommEvent != 0) plat::EventSet(handle->CommEvent);
        }
        plat::CsLeave(&handle->EventLock);
    }
    plat::CsLeave(&device->OpenListWalkLock);
}

void RecomputeCombinedEventMask(PortDevice* device) {
    plat::CsEnter(&device->OpenListWalkLock);
    uint32_t combined = 0;
    for (ListLink* link = device->OpenList.next; link != &device->OpenList; link = link->next) {
        combined |= plat::AtomicLoad(HandleOfLink(link)->EventMask);
    }
    plat::AtomicStore(device->CombinedEventMask, combined);
    plat::CsLeave(&device->OpenListWalkLock);
}

void SetWaitMask(OpenHandle* handle, uint32_t mask) {
    plat::CsEnter(&handle->EventLock);
    plat::AtomicStore(handle->EventMask, mask);
    plat::AtomicStore(handle->WaitAbort, 1);
    if (handle->CommEvent != 0) plat::EventSet(handle->CommEvent);
    plat::CsLeave(&handle->EventLock);
    // After the EventLock is released: the walk takes EventLocks inside the walk lock. The
    // walks are serialised, so the last one sees every mask stored before it started.
    RecomputeCombinedEventMask(handle->Device);
}

plat::Bool WaitForCommEvent(OpenHandle* handle, uint32_t* out) {
    *out = 0;
    PortDevice* device = handle->Device;
    if (device == nullptr || !IsPortOpen(device)) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    if (plat::AtomicLoad(handle->EventMask) == 0) {
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return 0;
    }
    // Without its event (Open could not create it) the handle cannot wait at all.
    if (handle->CommEvent == 0) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    plat::CsEnter(&handle->EventLock);
    plat::AtomicStore(handle->WaitAbort, 0);
    plat::CsLeave(&handle->EventLock);
    while (IsPortOpen(device)) {
        plat::CsEnter(&handle->EventLock);
        plat::EventReset(handle->CommEvent);
        const uint32_t seen = plat::AtomicExchange(handle->EventsSeen, 0);
        const uint32_t mask = handle->EventMask;
        if ((seen & mask) != 0 || mask == 0) {
            *out = seen & mask;
            plat::CsLeave(&handle->EventLock);
            break;
        }
        plat::CsLeave(&handle->EventLock);
        if (plat::WaitOne(handle->CommEvent, plat::kInfinite) != plat::kWaitSignalled) {
            plat::SetLastErrorCode(plat::kErrorInvalidHandle);
            return 0;
        }
        if (plat::AtomicLoad(handle->WaitAbort) != 0) {
            *out = 0;
            break;
        }
    }
    if (!IsPortOpen(device)) {
        *out = 0;
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    return 1;
}

}  // namespace zel
