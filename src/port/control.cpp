// IOControl: the serial control codes, the access rules of the three kinds of handle, and
// everything else passed on to the hardware object's PowerIoControl.
#include <cstring>

#include "hw/serial_port.h"
#include "port/entry_points.h"
#include "port/port_device.h"

namespace zel {
namespace {

constexpr uint32_t kFirstSerialCode = plat::IOCTL_SERIAL_SET_BREAK_ON;
constexpr uint32_t kLastSerialCode = plat::IOCTL_SERIAL_DISABLE_IR;

// The process-exit notification acts when the record says the calling process is exiting.
constexpr uint32_t kProcessExitRecordSize = 16;
constexpr uint32_t kProcessExitFlagExiting = 4;

// Buffers a code needs: in != null with inLength >= inBytes; out and actual != null with
// outLength >= outBytes. 0 means no need.
struct CodeNeeds {
    uint32_t code;
    uint32_t inBytes;
    uint32_t outBytes;
};
constexpr CodeNeeds kCodeNeeds[] = {
    {plat::IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(uint32_t)},
    {plat::IOCTL_SERIAL_SET_WAIT_MASK, sizeof(uint32_t), 0},
    {plat::IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(uint32_t)},
    {plat::IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(plat::SerialDevStatus)},
    {plat::IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(uint32_t)},
    {plat::IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(plat::CommProp)},
    {plat::IOCTL_SERIAL_SET_TIMEOUTS, sizeof(plat::CommTimeouts), 0},
    {plat::IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(plat::CommTimeouts)},
    {plat::IOCTL_SERIAL_PURGE, sizeof(uint32_t), 0},
    {plat::IOCTL_SERIAL_SET_QUEUE_SIZE, 2 * sizeof(uint32_t), 0},
    {plat::IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {plat::IOCTL_SERIAL_GET_DCB, 0, sizeof(plat::Dcb)},
    {plat::IOCTL_SERIAL_SET_DCB, sizeof(plat::Dcb), 0},
};

// Codes that monitor handles (no read or write access) may use.
constexpr uint32_t kMonitorCodes[] = {
    plat::IOCTL_SERIAL_GET_WAIT_MASK,  plat::IOCTL_SERIAL_SET_WAIT_MASK,
    plat::IOCTL_SERIAL_WAIT_ON_MASK,   plat::IOCTL_SERIAL_GET_MODEMSTATUS,
    plat::IOCTL_SERIAL_GET_PROPERTIES, plat::IOCTL_SERIAL_GET_TIMEOUTS,
    plat::IOCTL_POWER_CAPABILITIES,    plat::IOCTL_POWER_SET,
    plat::IOCTL_POWER_QUERY,
};

// Codes that bus-namespace handles may use.
constexpr uint32_t kBusNamespaceCodes[] = {
    plat::IOCTL_POWER_CAPABILITIES,
    plat::IOCTL_POWER_GET,
    plat::IOCTL_POWER_SET,
    plat::IOCTL_POWER_QUERY,
    plat::IOCTL_REGISTER_POWER_RELATIONSHIP,
};

template <size_t N>
bool Contains(const uint32_t (&codes)[N], uint32_t code) {
    for (uint32_t c : codes) {
        if (c == code) return true;
    }
    return false;
}

bool NeedsMet(uint32_t code, const void* in, uint32_t inLength, const void* out, uint32_t outLength,
              const uint32_t* actual) {
    for (const CodeNeeds& needs : kCodeNeeds) {
        if (needs.code != code) continue;
        if (needs.inBytes != 0 && (in == nullptr || inLength < needs.inBytes)) return false;
        if (needs.outBytes != 0 &&
            (out == nullptr || actual == nullptr || outLength < needs.outBytes)) {
            return false;
        }
        return true;
    }
    return true;
}

bool IsSerialCode(uint32_t code) {
    return code >= kFirstSerialCode && code <= kLastSerialCode && code % 4 == 0;
}

plat::Bool Fail(uint32_t error) {
    plat::SetLastErrorCode(error);
    return 0;
}

plat::Bool ForwardToPower(SerialPort* port, uint32_t code, const void* in, uint32_t inLength,
                          void* out, uint32_t outLength, uint32_t* actual) {
    if (!port->PowerIoControl(code, in, inLength, out, outLength, actual)) {
        return Fail(plat::kErrorInvalidParameter);
    }
    return 1;
}

uint32_t ReadU32(const void* in) {
    uint32_t value;
    std::memcpy(&value, in, sizeof(value));
    return value;
}

template <typename T>
void WriteOut(void* out, uint32_t* actual, const T& value) {
    std::memcpy(out, &value, sizeof(value));
    *actual = sizeof(value);
}

plat::SerialDevStatus CommStatus(PortDevice* device) {
    SerialPort* port = device->Port;
    plat::SerialDevStatus status{};
    status.Errors = port->GetLineErrors();
    const uint32_t applied = port->AppliedFlags();
    if ((applied & plat::kDcbOutxCtsFlow) && port->IsCtsOff()) {
        status.ComStat.flags |= plat::kComStatCtsHold;
    }
    if ((applied & plat::kDcbOutxDsrFlow) && port->IsDsrOff()) {
        status.ComStat.flags |= plat::kComStatDsrHold;
    }
    if (HasFlags(device, TransmitHeld)) status.ComStat.flags |= plat::kComStatXoffHold;
    if (HasFlags(device, XoffSent)) status.ComStat.flags |= plat::kComStatXoffSent;
    status.ComStat.cbInQue = ReceiveBufferCount(device);
    status.ComStat.cbOutQue = plat::AtomicLoad(device->TxPending);
    return status;
}

void Purge(PortDevice* device, uint32_t flags) {
    device->Port->Purge(flags);
    if (flags & plat::PURGE_RXCLEAR) {
        plat::CsEnter(&device->ReceiveBufferLock);
        plat::AtomicStore(device->RxRead, plat::AtomicLoad(device->RxWrite));
        plat::CsLeave(&device->ReceiveBufferLock);
        ReleaseReceive(device, true);
    }
    // Set rather than pulsed: a Read between its abort check and its wait still wakes.
    if (flags & plat::PURGE_RXABORT) {
        SetFlags(device, ReadAbort);
        plat::EventSet(device->ReceiveEvent);
    }
    if (flags & plat::PURGE_TXABORT) {
        SetFlags(device, WriteAbort);
        plat::EventSet(device->TransmitDoneEvent);
    }
}

// A code of the serial range whose needs are met.
plat::Bool ServeSerialCode(OpenHandle* handle, uint32_t code, const void* in, void* out,
                           uint32_t* actual) {
    PortDevice* device = handle->Device;
    SerialPort* port = device->Port;
    const uint32_t flags = DcbFlags(device);
    const bool dtrHandshake = plat::DtrControl(flags) == plat::kDtrControlHandshake;
    const bool rtsHandshake = plat::RtsControl(flags) == plat::kRtsControlHandshake;
    switch (code) {
        case plat::IOCTL_SERIAL_SET_BREAK_ON:
            port->SetBreak(1);
            return 1;
        case plat::IOCTL_SERIAL_SET_BREAK_OFF:
            port->SetBreak(0);
            return 1;
        case plat::IOCTL_SERIAL_SET_DTR:
        case plat::IOCTL_SERIAL_CLR_DTR:
            if (dtrHandshake) return Fail(plat::kErrorInvalidParameter);
            port->SetDTR(code == plat::IOCTL_SERIAL_SET_DTR ? 1 : 0);
            return 1;
        case plat::IOCTL_SERIAL_SET_RTS:
        case plat::IOCTL_SERIAL_CLR_RTS:
            if (rtsHandshake) return Fail(plat::kErrorInvalidParameter);
            port->SetRTS(code == plat::IOCTL_SERIAL_SET_RTS ? 1 : 0);
            return 1;
        case plat::IOCTL_SERIAL_SET_XOFF:
            if (HasFlags(device, SoftwareFlow)) SetFlags(device, TransmitHeld | XoffSent);
            return 1;
        case plat::IOCTL_SERIAL_SET_XON:
            if (HasFlags(device, SoftwareFlow)) ClearFlags(device, TransmitHeld | XoffSent);
            return 1;
        case plat::IOCTL_SERIAL_GET_WAIT_MASK:
            WriteOut(out, actual, plat::AtomicLoad(handle->EventMask));
            return 1;
        case plat::IOCTL_SERIAL_SET_WAIT_MASK:
            SetWaitMask(handle, ReadU32(in));
            return 1;
        case plat::IOCTL_SERIAL_WAIT_ON_MASK: {
            uint32_t seen = 0;
            const plat::Bool result = WaitForCommEvent(handle, &seen);
            WriteOut(out, actual, seen);
            return result;
        }
        case plat::IOCTL_SERIAL_GET_COMMSTATUS:
            WriteOut(out, actual, CommStatus(device));
            return 1;
        case plat::IOCTL_SERIAL_GET_MODEMSTATUS:
            WriteOut(out, actual, port->GetModemStatus());
            return 1;
        case plat::IOCTL_SERIAL_GET_PROPERTIES:
            WriteOut(out, actual, port->CommProperties());
            return 1;
        case plat::IOCTL_SERIAL_SET_TIMEOUTS: {
            plat::CommTimeouts timeouts;
            std::memcpy(&timeouts, in, sizeof(timeouts));
            StoreTimeouts(device, timeouts);
            return 1;
        }
        case plat::IOCTL_SERIAL_GET_TIMEOUTS:
            WriteOut(out, actual, LoadTimeouts(device));
            return 1;
        case plat::IOCTL_SERIAL_PURGE:
            Purge(device, ReadU32(in));
            return 1;
        case plat::IOCTL_SERIAL_SET_QUEUE_SIZE:
            return 1;  // the ring keeps its size
        case plat::IOCTL_SERIAL_IMMEDIATE_CHAR:
            port->TransmitImmediate(*static_cast<const uint8_t*>(in));
            return 1;
        case plat::IOCTL_SERIAL_GET_DCB:
            WriteOut(out, actual, LoadDcb(device));
            return 1;
        case plat::IOCTL_SERIAL_SET_DCB: {
            plat::Dcb record;
            std::memcpy(&record, in, sizeof(record));
            if (!ApplyDCB(device, &record)) return Fail(plat::kErrorInvalidParameter);
            return 1;
        }
        case plat::IOCTL_SERIAL_ENABLE_IR:
            port->SetIrMode(1, 0);
            return port->SetBaudRate(LoadField(device->Dcb.BaudRate), 1) ? 1 : 0;
        case plat::IOCTL_SERIAL_DISABLE_IR:
            port->SetIrMode(0, 1);
            return 1;
        default:
            return Fail(plat::kErrorInvalidParameter);  // not reached: the range is served
    }
}

}  // namespace
}  // namespace zel

plat::Bool IOControl(zel::OpenHandle* handle, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* actual) {
    using namespace zel;
    if (handle == nullptr || handle->Device == nullptr) return Fail(plat::kErrorInvalidHandle);
    PortDevice* device = handle->Device;
    SerialPort* port = device->Port;

    if (IsBusNamespace(handle)) {
        if (!Contains(kBusNamespaceCodes, code)) return Fail(plat::kErrorInvalidHandle);
        return ForwardToPower(port, code, in, inLength, out, outLength, actual);
    }
    if (!IsPortOpen(device)) return Fail(plat::kErrorInvalidHandle);

    if (code == plat::IOCTL_PROCESS_EXITING) {
        if (in != nullptr && inLength >= 2 * sizeof(uint32_t)) {
            const auto* record = static_cast<const uint8_t*>(in);
            if (ReadU32(record) == kProcessExitRecordSize &&
                ReadU32(record + sizeof(uint32_t)) == kProcessExitFlagExiting) {
                PreClose(handle);
            }
        }
        return 1;
    }

    if (!IsOwnerAccess(handle->Access) && !Contains(kMonitorCodes, code)) {
        return Fail(plat::kErrorInvalidAccess);
    }
    if (!IsSerialCode(code))
        return ForwardToPower(port, code, in, inLength, out, outLength, actual);
    if (!NeedsMet(code, in, inLength, out, outLength, actual)) {
        return Fail(plat::kErrorInvalidParameter);
    }
    return ServeSerialCode(handle, code, in, out, actual);
}
