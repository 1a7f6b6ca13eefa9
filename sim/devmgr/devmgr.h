// The device manager: loads driver libraries, activates devices from registry keys, keeps the
// active keys and device names, and routes application handles to the stream entry points.
//
// Activation of a key (a path below the local-machine root) reads:
//   "Dll"    string  library as named on the target ("zelser.dll" -> lib<stem>.so in the
//                    driver directory); one load per library, counted by its devices
//   "Prefix" string  stream prefix; gives the device its name "<prefix><index>:"
//   "Flags"  dword   bit 0x8: the library exports the prefix-less entry points
//   "Index"  dword   device index 0..9; without it the first free index 1..9 of the prefix
// and writes "Drivers\Active\NN" (first free NN, two digits) with "Key" (the key path),
// "Name" (only with a prefix), "Hnd" (the device handle) and any extra entries, then calls
// Init(active key path, context). A device whose Init returns null is removed again.
//
// Calls never reach a record the driver has freed: closing a handle runs PreClose, waits until
// no call on that handle is inside the driver, then runs Close; deactivation runs PreDeinit,
// waits until no call on the device is inside the driver, then runs Deinit, after which the
// handles still open on it fail every call with error 6. While waiting, PreClose (PreDeinit)
// is repeated now and then, so a call that entered the driver just after the first one and
// cleared its abort state is still woken.
//
// Devices activated from inside another device's Init (the ports an adapter starts) are its
// children: deactivating a device first deactivates its live children, newest first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace sim {

// ---------------------------------------------------------------------------------------------
// Where driver libraries are found: the directory set here, else the environment variable
// ZEL_DRIVER_DIR, else the build's driver directory. An empty string drops the setting.
void SetDriverDirectory(const std::string& directory);
std::string DriverDirectory();
// The file a "Dll" value names: "zelser.dll" -> "<driver directory>/libzelser.so".
std::string DriverLibraryPath(std::u16string_view dllValue);

// ---------------------------------------------------------------------------------------------
// Entry points, for the call counters.
enum class Entry : uint32_t {
    Init,
    Deinit,
    Open,
    Close,
    Read,
    Write,
    Seek,
    IOControl,
    PowerUp,
    PowerDown,
    PreClose,
    PreDeinit,
};
constexpr size_t kEntryCount = 12;
const char* EntryName(Entry entry);  // "Init", "PreClose", ...

struct EntryCounts {
    std::array<uint64_t, kEntryCount> calls{};
    uint64_t operator[](Entry entry) const { return calls[static_cast<size_t>(entry)]; }
};

constexpr uint32_t kNoDeviceIndex = 0xFFFFFFFFu;

struct DeviceInfo {
    plat::Handle handle = 0;   // device handle ("Hnd")
    std::u16string name;       // "COM1:"; empty for a key without a prefix
    std::u16string keyPath;    // the activated key
    std::u16string activeKey;  // "Drivers\\Active\\01"
    std::u16string prefix;
    uint32_t index = kNoDeviceIndex;
    std::string library;      // file loaded
    void* context = nullptr;  // what Init returned
    plat::Handle parent = 0;  // device in whose Init this one was activated, or 0
    uint64_t sequence = 0;    // activation order, from 1
    size_t openHandles = 0;   // application handles open on the device
    EntryCounts counts;       // calls made on this device
};

// Running devices (Init returned), in activation order.
std::vector<DeviceInfo> ListDevices();
std::optional<DeviceInfo> FindDevice(std::u16string_view name);  // "COM1:", any letter case
std::optional<DeviceInfo> DeviceOf(plat::Handle device);

// Calls made on all devices since the process started, gone ones included.
EntryCounts TotalEntryCounts();

// Why the calling thread's last failed activation failed ("" when none failed).
std::string LastActivationError();
// Every failed activation since start (or the last clear), with its reason.
std::vector<std::string> ActivationFailures();
void ClearActivationFailures();

struct LibraryInfo {
    std::string path;
    size_t devices = 0;  // devices (starting or running) that hold the library
};
std::vector<LibraryInfo> LoadedLibraries();

// Deactivates every device, newest first (so ports go before their adapter). Returns how many
// were deactivated.
size_t DeactivateAll();

// Activates the key as if from inside the parent's Init (a port device started again after its
// removal, with its adapter as the context): deactivating the parent then takes it down first.
plat::Handle ActivateChildDevice(plat::Handle parent, std::u16string_view keyPath, void* context);

// ---------------------------------------------------------------------------------------------
// Application handles. Each successful open is a kernel object in the handle table. Results
// follow the platform: 0 for failure with the calling thread's last-error code set (6 for a
// handle that is not open, 2 for a name that names no running device); otherwise what the
// driver returned, with the last-error code it set.
//
// Access codes: bit 31 read, bit 30 write, bit 8 (0x100) a bus-namespace open (the power
// manager's). Both reach the driver's Open unchanged.
plat::Handle DeviceOpen(std::u16string_view name, uint32_t access, uint32_t shareMode);
plat::Bool DeviceRead(plat::Handle open, void* buffer, uint32_t length, uint32_t* done);
plat::Bool DeviceWrite(plat::Handle open, const void* buffer, uint32_t length, uint32_t* done);
// The driver's Seek result, or 0xFFFFFFFF with error 6.
uint32_t DeviceSeek(plat::Handle open, int32_t distance, uint32_t method);
plat::Bool DeviceIoControl(plat::Handle open, uint32_t code, const void* in, uint32_t inLength,
                           void* out, uint32_t outLength, uint32_t* actual);
// PreClose, wait for the calls in progress, Close, release the handle. Closing a handle whose
// device is gone only releases the handle.
plat::Bool DeviceClose(plat::Handle open);

// The driver's PowerDown / PowerUp of one running device; false when it is not running.
bool DevicePowerDown(plat::Handle device);
bool DevicePowerUp(plat::Handle device);

}  // namespace sim
