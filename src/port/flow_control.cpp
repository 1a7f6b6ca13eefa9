// Adopting a settings record, and the flow-control decisions that watch the receive ring.
//
// None of these steps takes a lock: flag changes are atomic bit operations and the fill
// level is read without ReceiveBufferLock. The hardware object serialises its own lines.
#include <cstring>

#include "hw/serial_port.h"
#include "port/port_device.h"

namespace zel {
namespace {

bool HasFlag(uint32_t dcbFlags, uint32_t bit) {
    return (dcbFlags & bit) != 0;
}

// Free bytes in the ring.
uint32_t RingFree(PortDevice* device) {
    return device->RxSize - ReceiveBufferCount(device);
}

}  // namespace

plat::Bool ApplyDCB(PortDevice* device, const plat::Dcb* record) {
    SerialPort* port = device->Port;
    if (!port->SetDCB(record)) return 0;
    StoreDcb(device, *record);

    const uint32_t flags = record->flags;
    const uint32_t dtr = plat::DtrControl(flags);
    const uint32_t rts = plat::RtsControl(flags);
    if (dtr == plat::kDtrControlDisable) port->SetDTR(0);
    if (dtr == plat::kDtrControlEnable) port->SetDTR(1);
    if (rts == plat::kRtsControlDisable) port->SetRTS(0);
    if (rts == plat::kRtsControlEnable) port->SetRTS(1);

    // A set DtrFlowOff is always released; a set RtsFlowOff only while the ring is at most
    // three quarters full.
    if (dtr == plat::kDtrControlHandshake) {
        if (HasFlags(device, DtrFlowOff)) {
            ClearFlags(device, DtrFlowOff);
            port->SetDTR(1);
        } else if (RingAboveThreeQuarters(device)) {
            SetFlags(device, DtrFlowOff);
            port->SetDTR(0);
        } else {
            port->SetDTR(1);
        }
    }
    if (rts == plat::kRtsControlHandshake) {
        if (!HasFlags(device, RtsFlowOff)) {
            port->SetRTS(1);
        } else if (RingAboveThreeQuarters(device)) {
            port->SetRTS(0);
        } else {
            ClearFlags(device, RtsFlowOff);
            port->SetRTS(1);
        }
    }

    if (HasFlag(flags, plat::kDcbOutX) || HasFlag(flags, plat::kDcbInX)) {
        SetFlags(device, SoftwareFlow);
    } else {
        ClearFlags(device, SoftwareFlow);
    }
    return 1;
}

uint32_t FilterFlowChars(PortDevice* device, uint8_t* bytes, uint32_t n, bool* xonSeen) {
    const uint8_t xoff = static_cast<uint8_t>(LoadField(device->Dcb.XoffChar));
    const uint8_t xon = static_cast<uint8_t>(LoadField(device->Dcb.XonChar));
    *xonSeen = false;
    uint32_t i = 0;
    while (i < n) {
        // XOFF is tested first: when both characters are equal the byte counts as XOFF.
        if (bytes[i] == xoff) {
            SetFlags(device, TransmitHeld);
        } else if (bytes[i] == xon) {
            ClearFlags(device, TransmitHeld);
            *xonSeen = true;
        } else {
            ++i;
            continue;
        }
        std::memmove(bytes + i, bytes + i + 1, n - i - 1);
        --n;
    }
    return n;
}

void ThrottleReceive(PortDevice* device) {
    SerialPort* port = device->Port;
    const uint32_t flags = DcbFlags(device);
    if (plat::DtrControl(flags) == plat::kDtrControlHandshake && RingAboveThreeQuarters(device) &&
        TestAndSetFlag(device, DtrFlowOff)) {
        port->SetDTR(0);
    }
    if (plat::RtsControl(flags) == plat::kRtsControlHandshake && RingAboveThreeQuarters(device) &&
        TestAndSetFlag(device, RtsFlowOff)) {
        port->SetRTS(0);
    }
    if (HasFlag(flags, plat::kDcbInX) && LoadField(device->Dcb.XoffLim) >= RingFree(device) &&
        TestAndSetFlag(device, XoffSent)) {
        // Without fTXContinueOnXoff the port stops sending after its own XOFF.
        if (!HasFlag(flags, plat::kDcbTxContinueOnXoff)) SetFlags(device, TransmitHeld);
        port->TransmitImmediate(static_cast<uint8_t>(LoadField(device->Dcb.XoffChar)));
    }
}

void ReleaseReceive(PortDevice* device, bool forced) {
    SerialPort* port = device->Port;
    const uint32_t flags = DcbFlags(device);
    if (HasFlag(flags, plat::kDcbInX) &&
        (forced || LoadField(device->Dcb.XoffLim) < RingFree(device)) &&
        TestAndClearFlag(device, XoffSent)) {
        if (!HasFlag(flags, plat::kDcbTxContinueOnXoff)) ClearFlags(device, TransmitHeld);
        port->TransmitImmediate(static_cast<uint8_t>(LoadField(device->Dcb.XonChar)));
    }
    if (forced || RingBelowHalf(device)) {
        if (plat::RtsControl(flags) == plat::kRtsControlHandshake &&
            TestAndClearFlag(device, RtsFlowOff)) {
            port->SetRTS(1);
        }
        if (plat::DtrControl(flags) == plat::kDtrControlHandshake &&
            TestAndClearFlag(device, DtrFlowOff)) {
            port->SetDTR(1);
        }
    }
}

}  // namespace zel
