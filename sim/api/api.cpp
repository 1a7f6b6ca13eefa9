#include "sim/api/api.h"

#include "platform/kernel.h"
#include "sim/devmgr/devmgr.h"

namespace api {
namespace {

// A request that passes one record in.
template <typename T>
Bool Put(Handle h, uint32_t code, const T* record) {
    if (record == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return 0;
    }
    return sim::DeviceIoControl(h, code, record, sizeof(T), nullptr, 0, nullptr);
}

// A request that fills one record.
template <typename T>
Bool Get(Handle h, uint32_t code, T* record) {
    if (record == nullptr) {
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return 0;
    }
    uint32_t actual = 0;
    return sim::DeviceIoControl(h, code, nullptr, 0, record, sizeof(T), &actual);
}

Bool Plain(Handle h, uint32_t code) {
    return sim::DeviceIoControl(h, code, nullptr, 0, nullptr, 0, nullptr);
}

}  // namespace

Handle Open(std::u16string_view device, uint32_t access, uint32_t shareMode) {
    return sim::DeviceOpen(device, access, shareMode);
}

Bool Read(Handle h, void* buffer, uint32_t length, uint32_t* done) {
    return sim::DeviceRead(h, buffer, length, done);
}

Bool Write(Handle h, const void* buffer, uint32_t length, uint32_t* done) {
    return sim::DeviceWrite(h, buffer, length, done);
}

Bool IoControl(Handle h, uint32_t code, const void* in, uint32_t inLength, void* out,
               uint32_t outLength, uint32_t* actual) {
    return sim::DeviceIoControl(h, code, in, inLength, out, outLength, actual);
}

Bool Close(Handle h) {
    return sim::DeviceClose(h);
}

Bool GetCommState(Handle h, plat::Dcb* dcb) {
    return Get(h, plat::IOCTL_SERIAL_GET_DCB, dcb);
}

Bool SetCommState(Handle h, const plat::Dcb* dcb) {
    return Put(h, plat::IOCTL_SERIAL_SET_DCB, dcb);
}

Bool GetCommTimeouts(Handle h, plat::CommTimeouts* timeouts) {
    return Get(h, plat::IOCTL_SERIAL_GET_TIMEOUTS, timeouts);
}

Bool SetCommTimeouts(Handle h, const plat::CommTimeouts* timeouts) {
    return Put(h, plat::IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
}

Bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue) {
    const uint32_t sizes[2] = {inQueue, outQueue};
    return sim::DeviceIoControl(h, plat::IOCTL_SERIAL_SET_QUEUE_SIZE, sizes, sizeof sizes, nullptr,
                                0, nullptr);
}

Bool GetCommProperties(Handle h, plat::CommProp* properties) {
    return Get(h, plat::IOCTL_SERIAL_GET_PROPERTIES, properties);
}

Bool SetCommMask(Handle h, uint32_t mask) {
    return Put(h, plat::IOCTL_SERIAL_SET_WAIT_MASK, &mask);
}

Bool GetCommMask(Handle h, uint32_t* mask) {
    return Get(h, plat::IOCTL_SERIAL_GET_WAIT_MASK, mask);
}

Bool WaitCommEvent(Handle h, uint32_t* events) {
    return Get(h, plat::IOCTL_SERIAL_WAIT_ON_MASK, events);
}

Bool PurgeComm(Handle h, uint32_t flags) {
    return Put(h, plat::IOCTL_SERIAL_PURGE, &flags);
}

Bool GetCommModemStatus(Handle h, uint32_t* modemStatus) {
    return Get(h, plat::IOCTL_SERIAL_GET_MODEMSTATUS, modemStatus);
}

Bool EscapeCommFunction(Handle h, uint32_t function) {
    static constexpr struct {
        uint32_t function;
        uint32_t code;
    } kEscapes[] = {
        {kSetXoff, plat::IOCTL_SERIAL_SET_XOFF},      {kSetXon, plat::IOCTL_SERIAL_SET_XON},
        {kSetRts, plat::IOCTL_SERIAL_SET_RTS},        {kClrRts, plat::IOCTL_SERIAL_CLR_RTS},
        {kSetDtr, plat::IOCTL_SERIAL_SET_DTR},        {kClrDtr, plat::IOCTL_SERIAL_CLR_DTR},
        {kSetBreak, plat::IOCTL_SERIAL_SET_BREAK_ON}, {kClrBreak, plat::IOCTL_SERIAL_SET_BREAK_OFF},
        {kSetIr, plat::IOCTL_SERIAL_ENABLE_IR},       {kClrIr, plat::IOCTL_SERIAL_DISABLE_IR},
    };
    for (const auto& escape : kEscapes) {
        if (escape.function == function) return Plain(h, escape.code);
    }
    plat::SetLastErrorCode(plat::kErrorInvalidParameter);
    return 0;
}

Bool SetCommBreak(Handle h) {
    return EscapeCommFunction(h, kSetBreak);
}
Bool ClearCommBreak(Handle h) {
    return EscapeCommFunction(h, kClrBreak);
}

Bool TransmitCommChar(Handle h, uint8_t character) {
    return sim::DeviceIoControl(h, plat::IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1, nullptr, 0,
                                nullptr);
}

Bool ClearCommError(Handle h, uint32_t* errors, plat::ComStatRecord* status) {
    plat::SerialDevStatus record{};
    if (!Get(h, plat::IOCTL_SERIAL_GET_COMMSTATUS, &record)) return 0;
    if (errors != nullptr) *errors = record.Errors;
    if (status != nullptr) *status = record.ComStat;
    return 1;
}

}  // namespace api
