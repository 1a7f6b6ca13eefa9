// What an application calls: open a device by name ("COM1:"), read, write, control requests,
// close, and the comm helpers built on the serial control codes.
//
// Every call reports failure by a zero result with the calling thread's last-error code set
// (plat::LastErrorCode): 6 for a handle that is not open, 2 for an unknown device name, 87 for
// a bad argument, and otherwise what the driver set.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/serial.h"
#include "platform/types.h"

namespace api {

using plat::Bool;
using plat::Handle;

// ---------------------------------------------------------------------------------------------
// Files. Access: plat::kAccessRead, plat::kAccessWrite, both, or 0 (a monitor handle).
Handle Open(std::u16string_view device, uint32_t access, uint32_t shareMode);  // 0 on failure
Bool Read(Handle h, void* buffer, uint32_t length, uint32_t* done);
Bool Write(Handle h, const void* buffer, uint32_t length, uint32_t* done);
Bool IoControl(Handle h, uint32_t code, const void* in, uint32_t inLength, void* out,
               uint32_t outLength, uint32_t* actual);
Bool Close(Handle h);

// ---------------------------------------------------------------------------------------------
// Settings and time-outs.
Bool GetCommState(Handle h, plat::Dcb* dcb);
Bool SetCommState(Handle h, const plat::Dcb* dcb);
Bool GetCommTimeouts(Handle h, plat::CommTimeouts* timeouts);
Bool SetCommTimeouts(Handle h, const plat::CommTimeouts* timeouts);
// Queue sizes are accepted and change nothing (the receive ring has a fixed size).
Bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue);
Bool GetCommProperties(Handle h, plat::CommProp* properties);

// Events: the mask of EV_* bits to wait for, and the wait (blocks until one of them occurs,
// the mask changes or the handle is closed; *events receives what occurred, 0 when woken).
Bool SetCommMask(Handle h, uint32_t mask);
Bool GetCommMask(Handle h, uint32_t* mask);
Bool WaitCommEvent(Handle h, uint32_t* events);

// PURGE_* flags.
Bool PurgeComm(Handle h, uint32_t flags);
// MS_* bits.
Bool GetCommModemStatus(Handle h, uint32_t* modemStatus);

// Escape functions.
constexpr uint32_t kSetXoff = 1;  // behave as if XOFF had been sent
constexpr uint32_t kSetXon = 2;   // behave as if XON had been sent
constexpr uint32_t kSetRts = 3;
constexpr uint32_t kClrRts = 4;
constexpr uint32_t kSetDtr = 5;
constexpr uint32_t kClrDtr = 6;
constexpr uint32_t kSetBreak = 8;
constexpr uint32_t kClrBreak = 9;
constexpr uint32_t kSetIr = 10;  // infrared mode on
constexpr uint32_t kClrIr = 11;
// Unknown functions fail with 87.
Bool EscapeCommFunction(Handle h, uint32_t function);
Bool SetCommBreak(Handle h);
Bool ClearCommBreak(Handle h);
// Sends one character ahead of any data waiting to go.
Bool TransmitCommChar(Handle h, uint8_t character);

// The line errors (CE_* bits) accumulated since the last call, which clears them, and the
// queue and hold state. Either pointer may be null.
Bool ClearCommError(Handle h, uint32_t* errors, plat::ComStatRecord* status);

}  // namespace api
