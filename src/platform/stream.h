// Signatures of the stream-driver entry points that the device manager looks up in a driver
// library and calls, and of the library's own entry point.
//
// A key with flags bit kDeviceFlagNakedEntries names the prefix-less entry points ("Init",
// "Open", ...); otherwise every name carries the key's prefix and an underscore ("KAP_Init").
// Device and open contexts are native pointers: Init returns the device context (null on
// failure) that the device manager passes back to Deinit, Open, PreDeinit, PowerUp and
// PowerDown; Open returns the open context (null on failure) passed to Read, Write, Seek,
// IOControl, PreClose and Close. Entry points are exported with C linkage.
#pragma once

#include "platform/types.h"

namespace plat {

using StreamInitFn = void* (*)(const WChar* activeKeyPath, void* context);
using StreamDeinitFn = Bool (*)(void* device);
using StreamOpenFn = void* (*)(void* device, uint32_t access, uint32_t shareMode);
using StreamCloseFn = Bool (*)(void* open);
using StreamReadFn = uint32_t (*)(void* open, void* buffer, uint32_t length);
using StreamWriteFn = uint32_t (*)(void* open, const void* buffer, uint32_t length);
using StreamSeekFn = uint32_t (*)(void* open, int32_t distance, uint32_t method);
using StreamIoControlFn = Bool (*)(void* open, uint32_t code, const void* in, uint32_t inLength,
                                   void* out, uint32_t outLength, uint32_t* actual);
using StreamPowerFn = void (*)(void* device);
using StreamPreCloseFn = Bool (*)(void* open);
using StreamPreDeinitFn = Bool (*)(void* device);

// Read, Write and Seek report a refused call with this count.
constexpr uint32_t kStreamCallFailed = 0xFFFFFFFFu;

// Device key "Flags" bit: the library exports the prefix-less entry points.
constexpr uint32_t kDeviceFlagNakedEntries = 0x8;

// The library entry point ("DllEntry"): reason 1 when the library is attached to the process,
// 0 before it is detached. Returns non-zero.
constexpr uint32_t kDllProcessDetach = 0;
constexpr uint32_t kDllProcessAttach = 1;
using DllEntryFn = Bool (*)(void* module, uint32_t reason, void* reserved);

}  // namespace plat
