// Bus and register access services that the driver calls.
//
// Every register access is one of these calls, never a plain memory access, so each one
// reaches the device once and in program order. Addresses are bus-virtual addresses handed
// out by the mapping and translation services below.
#pragma once

#include "platform/types.h"

namespace plat {

// Byte access to an I/O port.
uint8_t ReadPortByte(uint32_t port);
void WritePortByte(uint32_t port, uint8_t value);

// Byte access to a memory-mapped register.
uint8_t ReadRegisterByte(VirtAddr address);
void WriteRegisterByte(VirtAddr address, uint8_t value);

// Buffer access at one memory-mapped address; the address does not advance. A 32-bit word
// carries four consecutive FIFO bytes, the first of them lowest in memory.
void ReadRegisterBytes(VirtAddr address, uint8_t* buffer, uint32_t count);
void ReadRegisterWords(VirtAddr address, uint32_t* buffer, uint32_t count);
void WriteRegisterBytes(VirtAddr address, const uint8_t* buffer, uint32_t count);
void WriteRegisterWords(VirtAddr address, const uint32_t* buffer, uint32_t count);

// Bus-access handles, created from a device's active key path.
Handle BusOpen(const WChar* activeKeyPath);  // 0 on failure
void BusClose(Handle bus);

// Address spaces reported by translation.
constexpr uint32_t kAddressSpaceMemory = 0;
constexpr uint32_t kAddressSpaceIo = 1;

// Translates a bus address of the device and maps it. *addressSpace is 0 (memory) on input;
// on output it tells where the result lies (callers refuse I/O space). Non-zero = success.
Bool BusTranslateAndMap(Handle bus, uint32_t interfaceType, uint32_t busNumber,
                        uint64_t busAddress, uint32_t length, uint32_t* addressSpace,
                        VirtAddr* virtualBase);
// Static translation for kernel-side code (the installable interrupt handler).
Bool BusStaticTranslate(uint32_t interfaceType, uint32_t busNumber, uint64_t busAddress,
                        uint32_t length, uint32_t* addressSpace, VirtAddr* result);
// Releases a mapping made by BusTranslateAndMap (length 0 = the whole mapping).
void BusUnmap(VirtAddr virtualBase, uint32_t length);

// Device power through a bus-access handle: D0 (full power) .. D4 (off). Non-zero = success.
Bool BusSetDevicePower(Handle bus, uint32_t state, void* reserved);

// Power-management service.
using PowerCallback = uint32_t (*)(void* context, uint32_t requestedState);
constexpr uint32_t kPowerHandleNone = 0xFFFFFFFFu;
// Returns a handle, or kPowerHandleNone on failure. The callback moves the device to a level
// and returns the state reached; it runs on a thread of the service.
uint32_t PowerCreate(PowerCallback callback, void* context, uint32_t options, uint32_t timeoutMs);
void PowerRelease(uint32_t power);
// Holds the device at the given level (D0 = full power) until the request is released.
uint32_t PowerRequestLevel(uint32_t power, uint32_t state);  // returns a token
void PowerReleaseRequest(uint32_t power, uint32_t token);
Bool PowerSetLevel(uint32_t power, uint32_t state, uint32_t reserved);  // 1 on success
uint32_t PowerCurrentLevel(uint32_t power);

}  // namespace plat
