// Write and the transmit pump: the caller's buffer is handed to the hardware object in
// FIFO-sized chunks, straight from the caller's memory, without a copy.
#include "hw/serial_port.h"
#include "port/entry_points.h"
#include "port/port_device.h"
#include "port/stream_events.h"

namespace zel {
namespace {

// TransmitBufferLock held.
void ClearTransmitDescriptor(PortDevice* device) {
    device->TxPermissions = 0;
    device->TxLength = 0;
    device->TxIndex = 0;
    device->TxBuffer = nullptr;
}

bool RtsToggles(PortDevice* device) {
    return plat::RtsControl(DcbFlags(device)) == plat::kRtsControlToggle;
}

}  // namespace

void PumpTransmit(PortDevice* device) {
    SerialPort* port = device->Port;
    plat::CsEnter(&device->TransmitBufferLock);
    if (!IsPortOpen(device)) ClearTransmitDescriptor(device);
    if (device->TxBuffer != nullptr && device->TxIndex != device->TxLength) {
        // The interrupt thread reaches the writer's buffer under the writer's permissions.
        const uint32_t previous = plat::SetPermissions(device->TxPermissions);
        if (RtsToggles(device)) port->SetRTS(1);
        const uint32_t remaining = device->TxLength - device->TxIndex;
        uint32_t n = HasFlags(device, TransmitHeld) ? 0 : remaining;
        port->TransmitData(device->TxBuffer + device->TxIndex, &n);
        if (n > remaining) n = remaining;
        device->TxWritten += n;
        device->TxIndex += n;
        plat::SetPermissions(previous);
    } else {
        // Nothing left: transmit interrupt off, and the write is complete.
        uint32_t n = 0;
        port->TransmitData(nullptr, &n);
        ClearTransmitDescriptor(device);
        plat::EventSet(device->TransmitDoneEvent);
    }
    plat::CsLeave(&device->TransmitBufferLock);
}

}  // namespace zel

uint32_t Write(zel::OpenHandle* handle, const void* buffer, uint32_t length) {
    using namespace zel;
    if (handle == nullptr || handle->Device == nullptr || !IsPortOpen(handle->Device)) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return plat::kMaxDword;
    }
    if ((handle->Access & plat::kAccessWrite) == 0) {
        plat::SetLastErrorCode(plat::kErrorInvalidAccess);
        return plat::kMaxDword;
    }
    if (buffer == nullptr && length != 0) {
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return plat::kMaxDword;
    }
    PortDevice* device = handle->Device;
    plat::CsEnter(&device->TransmitLock);
    plat::CsEnter(&device->TransmitBufferLock);
    ClearFlags(device, WriteAbort);
    plat::WaitOne(device->TransmitDoneEvent, 0);  // a completion left from a timed-out write
    const uint32_t permissions = plat::GetPermissions();
    device->TxIndex = 0;
    device->TxWritten = 0;
    device->TxPermissions = permissions;
    device->TxBuffer = static_cast<const uint8_t*>(buffer);
    device->TxLength = length;
    plat::AtomicStore(device->TxPending, length);
    plat::EventReset(device->TransmitDoneEvent);
    plat::CsLeave(&device->TransmitBufferLock);

    PumpTransmit(device);

    const plat::CommTimeouts t = LoadTimeouts(device);
    uint32_t timeout = t.WriteTotalTimeoutMultiplier * length + t.WriteTotalTimeoutConstant;
    if (timeout == 0) timeout = plat::kInfinite;
    // An abort raised between the descriptor set-up and here had its signal reset above.
    if (!HasFlags(device, WriteAbort)) plat::WaitOne(device->TransmitDoneEvent, timeout);
    if (!HasFlags(device, WriteAbort) && !IsPortOpen(device)) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
    }

    plat::CsEnter(&device->TransmitBufferLock);
    const uint32_t written = device->TxWritten;
    ClearTransmitDescriptor(device);
    plat::AtomicStore(device->TxPending, 0);
    plat::CsLeave(&device->TransmitBufferLock);
    plat::CsLeave(&device->TransmitLock);

    EvaluateEvents(device, plat::EV_TXEMPTY);
    if (RtsToggles(device)) device->Port->SetRTS(0);
    return written;
}
