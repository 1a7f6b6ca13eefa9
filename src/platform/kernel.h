// Kernel, registry and device-manager services that the driver calls.
//
// These are declarations only; the simulated machine (sim/) implements them on Linux.
// Handles are 32-bit values from the platform's handle table; 0 means failure unless
// a function says otherwise.
#pragma once

#include <cstdarg>

#include "platform/records.h"
#include "platform/types.h"

namespace plat {

// ---------------------------------------------------------------------------------------------
// Critical sections. The owning thread may enter again; each enter needs its leave.
// A zero-filled record is "not initialised": deleting it does nothing, so records that are
// allocated zero-filled can be torn down from any partial state.
struct CriticalSection {
    void* impl;
};
static_assert(sizeof(CriticalSection) == sizeof(void*));

// The name (a string literal, may be null) is used only in lock-order reports.
void CsInit(CriticalSection* cs, const char* name = nullptr);
void CsEnter(CriticalSection* cs);
void CsLeave(CriticalSection* cs);
void CsDelete(CriticalSection* cs);

// ---------------------------------------------------------------------------------------------
// Events. The driver uses only unnamed, auto-reset events that start not signalled.
Handle EventCreate(Bool manualReset = 0, Bool initiallySignalled = 0);

enum EventOp : uint32_t { kEventPulse = 1, kEventReset = 2, kEventSet = 3 };
// Set: signalled until one wait consumes it (auto-reset). Reset: not signalled.
// Pulse: releases a thread waiting at that moment, otherwise leaves the event unsignalled.
Bool EventModify(Handle event, uint32_t op);
inline Bool EventSet(Handle event) { return EventModify(event, kEventSet); }
inline Bool EventReset(Handle event) { return EventModify(event, kEventReset); }
inline Bool EventPulse(Handle event) { return EventModify(event, kEventPulse); }

// Waits for an event or a thread (signalled when the thread has ended).
// Returns kWaitSignalled, kWaitTimedOut, or kWaitFailed for a handle that cannot be waited on.
uint32_t WaitOne(Handle handle, uint32_t timeoutMs);

// Closes any handle. Closing 0 or an already closed handle is refused (0) and reported.
Bool HandleClose(Handle handle);

// ---------------------------------------------------------------------------------------------
// Threads.
using ThreadStart = uint32_t (*)(void* arg);
constexpr uint32_t kThreadCreateSuspended = 4;

// stackSize 0 = platform default. threadId may be null.
Handle ThreadCreate(uint32_t stackSize, ThreadStart start, void* arg, uint32_t flags,
                    uint32_t* threadId);
// Returns the previous suspend count, or 0xFFFFFFFF on failure.
uint32_t ThreadResume(Handle thread);
// Priority 0 (highest) .. 255 (lowest); recorded, not enforced.
Bool ThreadSetPriority(Handle thread, uint32_t priority);
// Terminating a thread that never ran is clean; a running thread ends at its next platform wait.
Bool ThreadTerminate(Handle thread, uint32_t exitCode);
[[noreturn]] void ThreadExit(uint32_t exitCode);
// 259 (still active) while the thread runs.
Bool ThreadGetExitCode(Handle thread, uint32_t* exitCode);
constexpr uint32_t kStillActive = 259;
// Turns off thread attach and detach calls for a library (module as given to its entry point).
Bool DisableThreadLibraryCalls(void* module);

// ---------------------------------------------------------------------------------------------
// Time: milliseconds since an arbitrary start, 32 bits, wrapping.
uint32_t TickCount();
void SleepMs(uint32_t ms);

// Per-thread last-error code.
void SetLastErrorCode(uint32_t code);
uint32_t LastErrorCode();

// ---------------------------------------------------------------------------------------------
// Memory.
constexpr uint32_t kMemZeroInit = 64;
constexpr uint32_t kMemMovable = 2;
void* MemAlloc(uint32_t flags, size_t bytes);  // null on failure
void* MemFree(void* block);                    // null on success, the block on failure
void* MemRealloc(void* block, size_t bytes, uint32_t flags);
size_t MemSize(void* block);
// Object allocation for the driver's classes (null on failure) and its release.
void* ObjectAlloc(size_t bytes);
void ObjectFree(void* object);
void MemMove(void* dst, const void* src, size_t bytes);

// ---------------------------------------------------------------------------------------------
// Access permissions of the calling thread (which process address spaces it may reach).
uint32_t GetPermissions();
uint32_t SetPermissions(uint32_t permissions);  // returns the previous ones

// ---------------------------------------------------------------------------------------------
// System interrupts.
Bool InterruptBind(uint32_t sysIntr, Handle event);  // non-zero = success
void InterruptDone(uint32_t sysIntr);
void InterruptDisable(uint32_t sysIntr);
void InterruptMask(uint32_t sysIntr, Bool mask);

// Installable interrupt handlers (kernel-side code loaded by name).
Handle IsrLoad(const WChar* library, const WChar* entry, uint32_t irq);  // 0 on failure
Bool IsrUnload(Handle isr);
Bool IsrControl(Handle isr, uint32_t code, const void* in, uint32_t inLength, void* out,
                uint32_t outLength, uint32_t* actual);
constexpr uint32_t kIsrControlConfigure = 256;

// ---------------------------------------------------------------------------------------------
// Device manager.
// Opens the device's own registry key from the active key path given to its Init.
KeyHandle OpenDeviceKey(const WChar* activeKeyPath);  // 0 on failure
// Activates the driver named by the key at keyPath (under the local-machine root).
// context reaches the driver's Init as its second argument. Returns a device handle, 0 on failure.
struct RegistryEntry;
Handle ActivateDevice(const WChar* keyPath, const RegistryEntry* entries, uint32_t entryCount,
                      void* context);
Bool DeactivateDevice(Handle device);

// Device descriptions read from a device key (0 = success). The caller sets the size field.
uint32_t ReadPciDescription(KeyHandle deviceKey, PciInfo* info);
uint32_t ReadWindowDescription(KeyHandle deviceKey, WindowInfo* info);
uint32_t ReadInterruptDescription(KeyHandle deviceKey, InterruptInfo* info);

// ---------------------------------------------------------------------------------------------
// Registry (results: 0 = success, otherwise an error code).
uint32_t RegOpenKey(KeyHandle parent, const WChar* subKey, uint32_t options, uint32_t access,
                    KeyHandle* result);
// Opens the key when it exists and creates it otherwise; disposition (may be null) receives
// kRegCreatedNewKey or kRegOpenedExistingKey.
uint32_t RegCreateKey(KeyHandle parent, const WChar* subKey, uint32_t reserved, const WChar* cls,
                      uint32_t options, uint32_t access, const void* security, KeyHandle* result,
                      uint32_t* disposition);
// type and data may be null. With a null data buffer *length receives the size and the
// result is 0. A buffer shorter than the value fails with kErrorMoreData and *length
// receives the size needed.
uint32_t RegQueryValue(KeyHandle key, const WChar* name, uint32_t* reserved, uint32_t* type,
                       uint8_t* data, uint32_t* length);
uint32_t RegSetValue(KeyHandle key, const WChar* name, uint32_t reserved, uint32_t type,
                     const uint8_t* data, uint32_t length);
// Enumerates values by index. *nameLength: in, capacity of name in characters including the
// terminator; out, the name's length without it. type, data and dataLength may be null.
// kErrorNoMoreItems past the last value; kErrorMoreData when a buffer is too short.
uint32_t RegEnumValue(KeyHandle key, uint32_t index, WChar* name, uint32_t* nameLength,
                      uint32_t* reserved, uint32_t* type, uint8_t* data, uint32_t* dataLength);
uint32_t RegCloseKey(KeyHandle key);

// ---------------------------------------------------------------------------------------------
// Wide strings.
size_t WStrLen(const WChar* s);
int WStrCmp(const WChar* a, const WChar* b);   // 0 = equal
int WStrICmp(const WChar* a, const WChar* b);  // case-insensitive for ASCII letters
// Copies at most count characters including the terminator; always terminates when count > 0.
WChar* WStrCopyN(WChar* dst, const WChar* src, size_t count);
// Formatting with %s (wide string), %Ns (right-aligned in at least N), %d, %0Nd, %u, %x, %%.
// Unbounded form returns the characters written (without the terminator).
int WStrFormat(WChar* dst, const WChar* format, ...);
// Bounded form: count is the buffer size in characters. Returns the characters written
// (without the terminator), or a negative count when the text and its terminator do not fit.
int WStrFormatN(WChar* dst, size_t count, const WChar* format, ...);
int WStrFormatV(WChar* dst, size_t count, const WChar* format, va_list args);

// ---------------------------------------------------------------------------------------------
// System notifications.
constexpr uint32_t kNotifyRs232Detected = 9;
void RaiseSystemEvent(uint32_t event, const WChar* commandLine);

// Runs fn(context) inside a structured exception frame: a processor fault raised inside it
// (an access to an unmapped bus address, say) is handled and execution goes on after the call.
// Returns 1 when fn returned normally, 0 when a fault was caught.
Bool RunGuarded(void (*fn)(void*), void* context);

// Called by the driver's pure-virtual call trap. Reports and stops the process.
[[noreturn]] void PureVirtualCalled();

// ---------------------------------------------------------------------------------------------
// Debug messages (see platform/debug.h for the zone record and the macro the driver uses).
struct DebugZones;
void DebugMessage(const DebugZones* zones, uint32_t zoneMask, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace plat
