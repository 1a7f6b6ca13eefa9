// Platform records exchanged with the kernel, device manager and interrupt services.
// Layouts are fixed: they cross the boundary between the driver and its platform.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace plat {

// PCI identity of a device, read from its device key.
struct PciInfo {
    uint32_t size;  // 52
    uint32_t deviceNumber;
    uint32_t functionNumber;
    uint32_t instanceIndex;
    uint32_t validMask;  // bit i set: word 5 + i holds a valid value
    uint32_t classCode;
    uint32_t subclass;
    uint32_t programmingInterface;
    uint32_t vendorId;
    uint32_t deviceId;
    uint32_t revisionId;
    uint32_t subsystemVendorId;
    uint32_t subsystemId;
};
static_assert(sizeof(PciInfo) == 52);
// Bits of PciInfo::validMask.
constexpr uint32_t kPciValidClass = 1u << 0;
constexpr uint32_t kPciValidSubclass = 1u << 1;
constexpr uint32_t kPciValidProgIf = 1u << 2;
constexpr uint32_t kPciValidVendorId = 1u << 3;
constexpr uint32_t kPciValidDeviceId = 1u << 4;
constexpr uint32_t kPciValidRevisionId = 1u << 5;
constexpr uint32_t kPciValidSubsystemVendorId = 1u << 6;
constexpr uint32_t kPciValidSubsystemId = 1u << 7;

struct BusWindow {
    uint32_t base;
    uint32_t length;
};

// I/O and memory windows of a device, read from its device key.
struct WindowInfo {
    uint32_t size;  // 116
    uint32_t busNumber;
    uint32_t interfaceType;
    uint32_t ioWindowCount;
    BusWindow ioWindows[6];
    uint32_t memWindowCount;
    BusWindow memWindows[6];
};
static_assert(sizeof(WindowInfo) == 116);
static_assert(offsetof(WindowInfo, memWindowCount) == 16 * 4);
static_assert(offsetof(WindowInfo, memWindows) == 17 * 4);

constexpr uint32_t kInterfaceTypePci = 5;

// Interrupt description of a device, read from its device key.
struct InterruptInfo {
    uint32_t size;  // 268
    uint32_t irq;
    uint32_t sysIntr;
    WChar isrDll[64];
    WChar isrHandler[64];
};
static_assert(sizeof(InterruptInfo) == 268);
static_assert(offsetof(InterruptInfo, isrDll) == 12);
static_assert(offsetof(InterruptInfo, isrHandler) == 140);

// Configuration of the generic installable interrupt handler (control code 256).
struct IsrConfig {
    uint32_t sysIntr;          // system interrupt to report
    uint32_t checkPort;        // 1: test a status register
    uint32_t portIsIo;         // status register is an I/O port
    uint32_t useMaskReg;       // take the mask from a mask register
    uint32_t portAddress;      // status register address (static translation)
    uint32_t portSize;         // width in bytes: 1, 2 or 4
    uint32_t mask;             // bits that make the interrupt ours
    uint32_t maskRegAddress;   // consulted only when useMaskReg is set
};
static_assert(sizeof(IsrConfig) == 32);

// An extra registry value handed to device activation.
struct RegistryEntry {
    const WChar* name;
    uint32_t type;
    const void* data;
    uint32_t length;
};

}  // namespace plat
