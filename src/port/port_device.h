// The stream layer's per-port and per-open records, the receive ring and the steps that the
// entry points, the control requests and the interrupt path share.
//
// Fields that are read without a lock (flag words, ring indices, counters, event bits) are
// reached only through the atomic helpers of platform/atomic.h or the ones below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/atomic.h"
#include "platform/kernel.h"
#include "platform/serial.h"

namespace zel {

class SerialPort;
struct OpenHandle;

// Links of an intrusive doubly linked list. A list head links to itself when empty.
struct ListLink {
    ListLink* next;
    ListLink* prev;
};

// StateFlags bits; every change is an atomic set or clear of the bits concerned.
constexpr uint32_t SoftwareFlow = 0x02;
constexpr uint32_t TransmitHeld = 0x04;
constexpr uint32_t XoffSent = 0x08;
constexpr uint32_t DtrFlowOff = 0x10;
constexpr uint32_t RtsFlowOff = 0x20;
constexpr uint32_t ReadAbort = 0x40;
constexpr uint32_t WriteAbort = 0x80;
// Cleared by the first open: the hold and hand-shake state of the previous session.
constexpr uint32_t kFirstOpenClearedFlags = TransmitHeld | XoffSent | DtrFlowOff | RtsFlowOff;

constexpr uint32_t kReceiveRingSize = 2048;

// Access bits that make a handle the port's owner.
constexpr uint32_t kOwnerAccessMask = plat::kAccessRead | plat::kAccessWrite;
// Bits a bus-namespace open clears from its access code.
constexpr uint32_t kBusNamespaceClearedBits = 0xF0000000u;

struct PortDevice {
    plat::CriticalSection TransmitLock;  // one Write at a time, whole call
    plat::CriticalSection ReceiveLock;   // one Read at a time, whole call
    SerialPort* Port;                    // owned
    plat::Handle ReceiveEvent;           // auto-reset
    plat::Handle TransmitDoneEvent;      // auto-reset
    uint32_t Priority256;
    uint32_t TxPending;           // atomic: read unlocked by the status request
    uint32_t TxWritten;           // TransmitBufferLock
    plat::Dcb Dcb;                // read unlocked field by field: LoadDcb / DcbFlags
    plat::CommTimeouts Timeouts;  // atomic per field
    uint32_t OpenCount;           // written under OpenListLock, read atomically anywhere
    uint32_t StateFlags;          // atomic bit changes
    uint32_t CombinedEventMask;   // atomic; written under OpenListWalkLock
    uint32_t RxRead;              // atomic; advanced only under ReceiveBufferLock
    uint32_t RxWrite;             // atomic; advanced only by the interrupt path
    uint32_t RxSize;
    uint8_t* RxBuffer;  // owned, RxSize bytes
    plat::CriticalSection ReceiveBufferLock;
    // Transmit descriptor, guarded by TransmitBufferLock.
    uint32_t TxPermissions;
    uint32_t TxIndex;
    uint32_t TxLength;
    const uint8_t* TxBuffer;  // the writer's buffer, not owned
    plat::CriticalSection TransmitBufferLock;
    ListLink OpenList;  // OpenHandle::Link of every handle, newest first
    plat::CriticalSection OpenListLock;
    OpenHandle* AccessOwner;  // OpenListLock
    // Guards the links of OpenList for the walks that may not take OpenListLock (event
    // delivery runs under the hardware object's lock, which Open and Close take inside
    // OpenListLock). Open and Close change the links under it; it is held only while walking
    // and taking each handle's EventLock, never while calling the hardware object. Order:
    // OpenListLock -> OpenListWalkLock -> EventLock, hardwareLock -> OpenListWalkLock.
    plat::CriticalSection OpenListWalkLock;
};

struct OpenHandle {
    PortDevice* Device;
    uint32_t Access;
    uint32_t ShareMode;
    plat::Handle CommEvent;  // auto-reset; 0 when it could not be created
    uint32_t EventMask;      // changed under EventLock, read atomically by the mask walk
    uint32_t EventsSeen;     // atomic OR / exchange
    uint32_t WaitAbort;      // changed under EventLock, read atomically after the wait
    plat::CriticalSection EventLock;
    ListLink Link;  // in Device->OpenList; changed under OpenListLock and OpenListWalkLock
};

inline OpenHandle* HandleOfLink(ListLink* link) {
    return reinterpret_cast<OpenHandle*>(reinterpret_cast<uint8_t*>(link) -
                                         offsetof(OpenHandle, Link));
}

inline bool IsBusNamespace(const OpenHandle* handle) {
    return (handle->Access & plat::kAccessBusNamespace) != 0;
}
inline bool IsOwnerAccess(uint32_t access) {
    return (access & kOwnerAccessMask) != 0;
}

inline bool IsPortOpen(const PortDevice* device) {
    return plat::AtomicLoad(device->OpenCount) != 0;
}

inline bool HasFlags(PortDevice* device, uint32_t bits) {
    return (plat::AtomicLoad(device->StateFlags) & bits) != 0;
}
inline void SetFlags(PortDevice* device, uint32_t bits) {
    plat::AtomicOr(device->StateFlags, bits);
}
inline void ClearFlags(PortDevice* device, uint32_t bits) {
    plat::AtomicAnd(device->StateFlags, ~bits);
}
// Set or clear one bit and tell whether this call changed it, so that two threads deciding on
// the same bit never both act on it.
inline bool TestAndSetFlag(PortDevice* device, uint32_t bit) {
    return (plat::AtomicOr(device->StateFlags, bit) & bit) == 0;
}
inline bool TestAndClearFlag(PortDevice* device, uint32_t bit) {
    return (plat::AtomicAnd(device->StateFlags, ~bit) & bit) != 0;
}

// ---------------------------------------------------------------------------------------------
// Receive ring: one byte always stays free, so RxRead == RxWrite means empty.

inline uint32_t RingCount(uint32_t read, uint32_t write, uint32_t size) {
    return write >= read ? write - read : size - read + write;
}
inline uint32_t ReceiveBufferCount(PortDevice* device) {
    return RingCount(plat::AtomicLoad(device->RxRead), plat::AtomicLoad(device->RxWrite),
                     device->RxSize);
}
// Room for the next store at RxWrite without wrapping.
inline uint32_t ReceiveContiguousRoom(PortDevice* device) {
    const uint32_t read = plat::AtomicLoad(device->RxRead);
    const uint32_t write = plat::AtomicLoad(device->RxWrite);
    if (read > write) return read - write - 1;
    return device->RxSize - write - (read == 0 ? 1 : 0);
}
inline uint32_t AdvanceRingIndex(uint32_t index, uint32_t n, uint32_t size) {
    return index + n < size ? index + n : index + n - size;
}
// More than three quarters full / less than half full, in 32-bit unsigned arithmetic.
inline bool RingAboveThreeQuarters(PortDevice* device) {
    return ReceiveBufferCount(device) * 4 > device->RxSize * 3;
}
inline bool RingBelowHalf(PortDevice* device) {
    return ReceiveBufferCount(device) * 2 < device->RxSize;
}

// ---------------------------------------------------------------------------------------------
// The adopted settings and time-outs, read while another thread may be adopting new ones.

template <typename T>
inline T LoadField(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
template <typename T>
inline void StoreField(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

inline uint32_t DcbFlags(PortDevice* device) {
    return plat::AtomicLoad(device->Dcb.flags);
}
plat::Dcb LoadDcb(const PortDevice* device);
void StoreDcb(PortDevice* device, const plat::Dcb& record);
plat::CommTimeouts LoadTimeouts(const PortDevice* device);
void StoreTimeouts(PortDevice* device, const plat::CommTimeouts& timeouts);

// ---------------------------------------------------------------------------------------------
// Steps shared by the entry points, the control requests and the interrupt path.

// Line settings and flow control.
plat::Bool ApplyDCB(PortDevice* device, const plat::Dcb* record);
// Removes XON and XOFF characters from the n bytes just stored; returns the new count and
// sets *xonSeen when an XON was among them.
uint32_t FilterFlowChars(PortDevice* device, uint8_t* bytes, uint32_t n, bool* xonSeen);
void ThrottleReceive(PortDevice* device);
void ReleaseReceive(PortDevice* device, bool forced);

// Transmit pump: hands the next chunk of the current write to the hardware object.
void PumpTransmit(PortDevice* device);

// Comm events.
plat::Bool WaitForCommEvent(OpenHandle* handle, uint32_t* out);
void SetWaitMask(OpenHandle* handle, uint32_t mask);
// Recomputes CombinedEventMask as the OR of every listed handle's EventMask.
void RecomputeCombinedEventMask(PortDevice* device);

}  // namespace zel
