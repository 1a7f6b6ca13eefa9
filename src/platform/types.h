// Basic types and result codes shared by the driver and the platform that hosts it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// 32-bit boolean: non-zero means success.
using Bool = int32_t;

// Kernel object handle drawn from the platform's handle table; 0 means none.
using Handle = uint32_t;

// Registry key handle; the predefined root keys have the top bit set.
using KeyHandle = uint32_t;

// Bus-virtual address of a register or window, as the bus services hand it out.
// The driver never dereferences it; every access is a bus service call.
using VirtAddr = uint32_t;

// Wide characters are 16 bits, as on the target.
using WChar = char16_t;

constexpr KeyHandle kLocalMachineRoot = 0x80000002u;

// Wait results and the infinite time-out.
constexpr uint32_t kWaitSignalled = 0;
constexpr uint32_t kWaitTimedOut = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Result codes (registry results and last-error values).
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidAccess = 12;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorOpenFailed = 110;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;

// Registry value types.
constexpr uint32_t kRegString = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiString = 7;

// Create-or-open dispositions.
constexpr uint32_t kRegCreatedNewKey = 1;
constexpr uint32_t kRegOpenedExistingKey = 2;

// Device power states.
enum DevicePowerState : uint32_t { D0 = 0, D1 = 1, D2 = 2, D3 = 3, D4 = 4 };

}  // namespace plat
