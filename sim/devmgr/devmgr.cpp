// The device manager (see devmgr.h).
#include "sim/devmgr/devmgr.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel.h"
#include "platform/stream.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

#ifndef ZEL_DRIVER_DIR_DEFAULT
#define ZEL_DRIVER_DIR_DEFAULT "drivers"
#endif

namespace sim {
namespace {

using plat::Handle;

// How often a close or a deactivation repeats its wake-up call while calls are still inside.
constexpr auto kRewakeInterval = std::chrono::milliseconds(50);
constexpr uint32_t kMaxActiveNumber = 99;
constexpr uint32_t kMaxAutoIndex = 9;

bool AsciiIEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::string Utf8(std::u16string_view text) {
    return reg::ToUtf8(text);
}

// ---------------------------------------------------------------------------------------------
// Libraries.

struct Library {
    std::string path;
    void* module = nullptr;
    plat::DllEntryFn entry = nullptr;
    size_t refs = 0;
};

struct EntryTable {
    plat::StreamInitFn init = nullptr;
    plat::StreamDeinitFn deinit = nullptr;
    plat::StreamOpenFn open = nullptr;
    plat::StreamCloseFn close = nullptr;
    plat::StreamReadFn read = nullptr;
    plat::StreamWriteFn write = nullptr;
    plat::StreamSeekFn seek = nullptr;
    plat::StreamIoControlFn ioControl = nullptr;
    plat::StreamPowerFn powerUp = nullptr;
    plat::StreamPowerFn powerDown = nullptr;
    plat::StreamPreCloseFn preClose = nullptr;
    plat::StreamPreDeinitFn preDeinit = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Devices and open handles.

enum class DeviceState { Starting, Running, Stopping, Gone };
enum class FileState { Open, Closing, Dead };

class OpenFile;

class Device : public KernelObject {
  public:
    std::string Describe() const override {
        std::string text = "device";
        if (!name.empty()) text += " " + Utf8(name);
        return text + " (" + Utf8(keyPath) + ")";
    }

    void Count(Entry entry);

    // Admits a call of an application (file non-null) or of the power manager. False when
    // the device is not running or the handle is closing or dead.
    bool Enter(OpenFile* file);
    void Leave(OpenFile* file);

    // Fixed once the device is filed.
    Handle handle = 0;
    std::u16string name, keyPath, activeKey, prefix;
    uint32_t index = kNoDeviceIndex;
    uint32_t activeNumber = 0;
    uint64_t sequence = 0;
    std::atomic<Handle> parent = 0;  // cleared when the parent's Init fails
    Library* library = nullptr;
    EntryTable entries;
    void* context = nullptr;  // set when Init returns, before the device runs

    std::array<std::atomic<uint64_t>, kEntryCount> counts{};

    std::mutex mu;
    std::condition_variable cv;
    DeviceState state = DeviceState::Starting;  // guarded by mu (read under the manager
                                                // lock only for Starting/Running filtering)
    int inFlight = 0;                           // guarded by mu: calls inside the driver
    std::vector<OpenFile*> files;               // guarded by mu: open application handles
};

class OpenFile : public KernelObject {
  public:
    explicit OpenFile(std::shared_ptr<Device> dev) : device(std::move(dev)) {}
    std::string Describe() const override { return "open handle on " + device->Describe(); }
    // A handle closed through the kernel rather than DeviceClose still closes the driver's.
    void OnClose() override;

    std::shared_ptr<Device> device;
    void* context = nullptr;
    FileState state = FileState::Open;  // guarded by device->mu
    int inFlight = 0;                   // guarded by device->mu
};

struct Manager {
    std::mutex mu;
    std::vector<std::shared_ptr<Device>> devices;  // starting and running
    std::map<std::string, std::unique_ptr<Library>> libraries;
    std::string directory;  // SetDriverDirectory
    uint64_t nextSequence = 1;
    std::vector<std::string> failures;

    std::mutex libraryMu;  // loading and unloading; never held while a device's Init runs
    std::array<std::atomic<uint64_t>, kEntryCount> totals{};
};

Manager& M() {
    // Never destroyed: driver libraries may still be unloading while the process exits.
    static Manager* manager = new Manager;
    return *manager;
}

thread_local std::string tLastActivationError;
// Devices whose Init runs on this thread, innermost last.
thread_local std::vector<Handle> tInitStack;

void Device::Count(Entry entry) {
    counts[static_cast<size_t>(entry)].fetch_add(1, std::memory_order_relaxed);
    M().totals[static_cast<size_t>(entry)].fetch_add(1, std::memory_order_relaxed);
}

bool Device::Enter(OpenFile* file) {
    std::lock_guard lock(mu);
    if (state != DeviceState::Running) return false;
    if (file != nullptr && file->state != FileState::Open) return false;
    ++inFlight;
    if (file != nullptr) ++file->inFlight;
    return true;
}

void Device::Leave(OpenFile* file) {
    std::lock_guard lock(mu);
    --inFlight;
    if (file != nullptr) --file->inFlight;
    cv.notify_all();
}

// Closes the driver's open record behind an application handle (once).
// False when another thread is already closing it.
bool CloseFile(OpenFile* file) {
    Device& dev = *file->device;
    std::unique_lock lock(dev.mu);
    if (file->state == FileState::Dead) return true;
    if (file->state == FileState::Closing) return false;
    file->state = FileState::Closing;  // no new call on this handle from now on

    auto forget = [&] {
        file->state = FileState::Dead;
        std::erase(dev.files, file);
        dev.cv.notify_all();
    };
    // A device on its way out closes every record itself in Deinit.
    if (dev.state != DeviceState::Running) {
        forget();
        return true;
    }

    // Calls PreClose or Close as one more call inside the driver, without the device lock.
    auto call = [&](Entry entry, plat::StreamCloseFn fn) {
        ++dev.inFlight;
        lock.unlock();
        if (fn != nullptr) {
            dev.Count(entry);
            fn(file->context);
        }
        lock.lock();
        --dev.inFlight;
        dev.cv.notify_all();
    };
    call(Entry::PreClose, dev.entries.preClose);
    while (file->inFlight > 0 && file->state != FileState::Dead) {
        if (dev.cv.wait_for(lock, kRewakeInterval, [&] {
                return file->inFlight == 0 || file->state == FileState::Dead;
            })) {
            break;
        }
        if (dev.state == DeviceState::Running) call(Entry::PreClose, dev.entries.preClose);
    }
    if (file->state == FileState::Dead) return true;  // Deinit ran meanwhile
    if (dev.state == DeviceState::Running) call(Entry::Close, dev.entries.close);
    forget();
    return true;
}

void OpenFile::OnClose() {
    CloseFile(this);
}

// ---------------------------------------------------------------------------------------------
// Registry helpers.

std::u16string ActiveKeyPath(uint32_t number) {
    std::u16string path = u"Drivers\\Active\\";
    path += static_cast<char16_t>(u'0' + number / 10);
    path += static_cast<char16_t>(u'0' + number % 10);
    return path;
}

std::u16string DeviceName(std::u16string_view prefix, uint32_t index) {
    std::u16string name(prefix);
    name += static_cast<char16_t>(u'0' + index);
    name += u':';
    return name;
}

void Fail(const std::u16string& keyPath, const std::string& why) {
    std::string text = Utf8(keyPath) + ": " + why;
    tLastActivationError = text;
    std::lock_guard lock(M().mu);
    M().failures.push_back(std::move(text));
}

// ---------------------------------------------------------------------------------------------
// Library loading, counted by devices.

Library* AcquireLibrary(const std::string& path, std::string* error) {
    Manager& m = M();
    std::lock_guard lock(m.libraryMu);
    auto it = m.libraries.find(path);
    if (it != m.libraries.end()) {
        ++it->second->refs;
        return it->second.get();
    }
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = dlerror();
        *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason");
        return nullptr;
    }
    auto library = std::make_unique<Library>();
    library->path = path;
    library->module = module;
    library->entry = reinterpret_cast<plat::DllEntryFn>(dlsym(module, "DllEntry"));
    if (library->entry != nullptr &&
        library->entry(module, plat::kDllProcessAttach, nullptr) == 0) {
        dlclose(module);
        *error = path + ": library entry point refused the attach";
        return nullptr;
    }
    library->refs = 1;
    Library* result = library.get();
    m.libraries.emplace(path, std::move(library));
    return result;
}

void ReleaseLibrary(Library* library) {
    Manager& m = M();
    std::lock_guard lock(m.libraryMu);
    if (--library->refs > 0) return;
    if (library->entry != nullptr)
        library->entry(library->module, plat::kDllProcessDetach, nullptr);
    dlclose(library->module);
    m.libraries.erase(library->path);
}

template <typename Fn>
Fn Lookup(Library* library, const std::string& name) {
    return reinterpret_cast<Fn>(dlsym(library->module, name.c_str()));
}

EntryTable ResolveEntries(Library* library, const std::string& prefix) {
    EntryTable t;
    t.init = Lookup<plat::StreamInitFn>(library, prefix + "Init");
    t.deinit = Lookup<plat::StreamDeinitFn>(library, prefix + "Deinit");
    t.open = Lookup<plat::StreamOpenFn>(library, prefix + "Open");
    t.close = Lookup<plat::StreamCloseFn>(library, prefix + "Close");
    t.read = Lookup<plat::StreamReadFn>(library, prefix + "Read");
    t.write = Lookup<plat::StreamWriteFn>(library, prefix + "Write");
    t.seek = Lookup<plat::StreamSeekFn>(library, prefix + "Seek");
    t.ioControl = Lookup<plat::StreamIoControlFn>(library, prefix + "IOControl");
    t.powerUp = Lookup<plat::StreamPowerFn>(library, prefix + "PowerUp");
    t.powerDown = Lookup<plat::StreamPowerFn>(library, prefix + "PowerDown");
    t.preClose = Lookup<plat::StreamPreCloseFn>(library, prefix + "PreClose");
    t.preDeinit = Lookup<plat::StreamPreDeinitFn>(library, prefix + "PreDeinit");
    return t;
}

std::shared_ptr<Device> FindRunning(Handle handle) {
    Manager& m = M();
    std::lock_guard lock(m.mu);
    for (auto& dev : m.devices) {
        if (dev->handle == handle) return dev;
    }
    return nullptr;
}

DeviceInfo InfoOf(Device& dev) {
    DeviceInfo info;
    info.handle = dev.handle;
    info.name = dev.name;
    info.keyPath = dev.keyPath;
    info.activeKey = dev.activeKey;
    info.prefix = dev.prefix;
    info.index = dev.index;
    info.library = dev.library->path;
    info.context = dev.context;
    info.parent = dev.parent;
    info.sequence = dev.sequence;
    {
        std::lock_guard lock(dev.mu);
        info.openHandles = dev.files.size();
    }
    for (size_t i = 0; i < kEntryCount; ++i) info.counts.calls[i] = dev.counts[i].load();
    return info;
}

bool IsRunning(Device& dev) {
    std::lock_guard lock(dev.mu);
    return dev.state == DeviceState::Running;
}

// Runs fn(open record) for an application handle inside the driver, or fails with error 6.
template <typename Fn>
bool WithFile(Handle open, Fn&& fn) {
    auto file = HandleLookupAs<OpenFile>(open);
    if (file == nullptr || !file->device->Enter(file.get())) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return false;
    }
    fn(*file->device, file->context);
    file->device->Leave(file.get());
    return true;
}

bool Deactivate(const std::shared_ptr<Device>& dev);

}  // namespace

// ---------------------------------------------------------------------------------------------

void SetDriverDirectory(const std::string& directory) {
    std::lock_guard lock(M().mu);
    M().directory = directory;
}

std::string DriverDirectory() {
    {
        std::lock_guard lock(M().mu);
        if (!M().directory.empty()) return M().directory;
    }
    const char* env = std::getenv("ZEL_DRIVER_DIR");
    if (env != nullptr && env[0] != '\0') return env;
    return ZEL_DRIVER_DIR_DEFAULT;
}

std::string DriverLibraryPath(std::u16string_view dllValue) {
    std::string name = Utf8(dllValue);
    if (name.size() > 4) {
        std::string ext = name.substr(name.size() - 4);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (ext == ".dll") name.resize(name.size() - 4);
    }
    return DriverDirectory() + "/lib" + name + ".so";
}

const char* EntryName(Entry entry) {
    static constexpr const char* kNames[kEntryCount] = {
        "Init", "Deinit",    "Open",    "Close",     "Read",     "Write",
        "Seek", "IOControl", "PowerUp", "PowerDown", "PreClose", "PreDeinit"};
    size_t i = static_cast<size_t>(entry);
    return i < kEntryCount ? kNames[i] : "?";
}

std::vector<DeviceInfo> ListDevices() {
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(M().mu);
        devices = M().devices;
    }
    std::vector<DeviceInfo> result;
    for (auto& dev : devices) {
        if (IsRunning(*dev)) result.push_back(InfoOf(*dev));
    }
    return result;
}

std::optional<DeviceInfo> FindDevice(std::u16string_view name) {
    for (auto& info : ListDevices()) {
        if (!info.name.empty() && AsciiIEqual(info.name, name)) return info;
    }
    return std::nullopt;
}

std::optional<DeviceInfo> DeviceOf(Handle device) {
    auto dev = FindRunning(device);
    if (dev == nullptr || !IsRunning(*dev)) return std::nullopt;
    return InfoOf(*dev);
}

EntryCounts TotalEntryCounts() {
    EntryCounts counts;
    for (size_t i = 0; i < kEntryCount; ++i) counts.calls[i] = M().totals[i].load();
    return counts;
}

std::string LastActivationError() {
    return tLastActivationError;
}

std::vector<std::string> ActivationFailures() {
    std::lock_guard lock(M().mu);
    return M().failures;
}

void ClearActivationFailures() {
    std::lock_guard lock(M().mu);
    M().failures.clear();
}

std::vector<LibraryInfo> LoadedLibraries() {
    std::lock_guard lock(M().libraryMu);
    std::vector<LibraryInfo> result;
    for (auto& [path, library] : M().libraries) result.push_back({path, library->refs});
    return result;
}

size_t DeactivateAll() {
    size_t count = 0;
    for (;;) {
        // The newest running device; one still starting on another thread is left to it.
        std::shared_ptr<Device> newest;
        {
            std::lock_guard lock(M().mu);
            for (auto& dev : M().devices) {
                if (IsRunning(*dev) && (newest == nullptr || dev->sequence > newest->sequence))
                    newest = dev;
            }
        }
        if (newest == nullptr) break;
        count += Deactivate(newest) ? 1 : 0;
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Activation.

namespace {

Handle Activate(const plat::WChar* keyPathText, const plat::RegistryEntry* extra,
                uint32_t extraCount, void* context) {
    tLastActivationError.clear();
    if (keyPathText == nullptr) {
        Fail(u"", "no key path");
        return 0;
    }
    std::u16string keyPath(keyPathText);
    if (!reg::KeyExists(keyPath)) {
        Fail(keyPath, "no such key");
        return 0;
    }
    auto dll = reg::GetString(keyPath, u"Dll");
    if (!dll || dll->empty()) {
        Fail(keyPath, "no \"Dll\" value");
        return 0;
    }
    std::u16string prefix = reg::GetString(keyPath, u"Prefix").value_or(u"");
    uint32_t flags = reg::GetDword(keyPath, u"Flags").value_or(0);
    std::optional<uint32_t> wantedIndex = reg::GetDword(keyPath, u"Index");
    bool naked = (flags & plat::kDeviceFlagNakedEntries) != 0;
    if (!naked && prefix.empty()) {
        Fail(keyPath, "prefixed entry points but no \"Prefix\" value");
        return 0;
    }
    if (wantedIndex && *wantedIndex > 9) {
        Fail(keyPath, "\"Index\" " + std::to_string(*wantedIndex) + " is outside 0..9");
        return 0;
    }

    std::string path = DriverLibraryPath(*dll);
    std::string error;
    Library* library = AcquireLibrary(path, &error);
    if (library == nullptr) {
        Fail(keyPath, error);
        return 0;
    }
    std::string entryPrefix = naked ? "" : Utf8(prefix) + "_";
    EntryTable entries = ResolveEntries(library, entryPrefix);
    if (entries.init == nullptr || entries.deinit == nullptr) {
        ReleaseLibrary(library);
        Fail(keyPath, path + " has no " + entryPrefix + "Init or " + entryPrefix + "Deinit");
        return 0;
    }

    auto dev = std::make_shared<Device>();
    dev->keyPath = keyPath;
    dev->prefix = prefix;
    dev->library = library;
    dev->entries = entries;
    dev->parent = tInitStack.empty() ? 0 : tInitStack.back();
    {
        Manager& m = M();
        std::lock_guard lock(m.mu);
        uint32_t number = 1;
        for (; number <= kMaxActiveNumber; ++number) {
            bool used = std::any_of(m.devices.begin(), m.devices.end(),
                                    [&](auto& d) { return d->activeNumber == number; });
            if (!used) break;
        }
        auto indexUsed = [&](uint32_t index) {
            return std::any_of(m.devices.begin(), m.devices.end(), [&](auto& d) {
                return d->index == index && AsciiIEqual(d->prefix, prefix);
            });
        };
        uint32_t index = kNoDeviceIndex;
        if (!prefix.empty()) {
            if (wantedIndex) {
                if (!indexUsed(*wantedIndex)) index = *wantedIndex;
            } else {
                for (uint32_t i = 1; i <= kMaxAutoIndex && index == kNoDeviceIndex; ++i) {
                    if (!indexUsed(i)) index = i;
                }
            }
        }
        if (!prefix.empty() && index == kNoDeviceIndex) {
            error = wantedIndex ? "device index " + std::to_string(*wantedIndex) + " of prefix " +
                                      Utf8(prefix) + " is in use"
                                : "no free device index for prefix " + Utf8(prefix);
        } else if (number > kMaxActiveNumber) {
            error = "no free active key";
        } else {
            dev->activeNumber = number;
            dev->index = index;
            dev->sequence = m.nextSequence++;
            dev->activeKey = ActiveKeyPath(number);
            if (!prefix.empty()) dev->name = DeviceName(prefix, index);
            m.devices.push_back(dev);
        }
    }
    if (dev->activeNumber == 0) {
        ReleaseLibrary(library);
        Fail(keyPath, error);
        return 0;
    }

    auto unfile = [&] {
        std::lock_guard lock(M().mu);
        std::erase(M().devices, dev);
    };
    dev->handle = HandleInsert(dev);
    if (dev->handle == 0) {
        unfile();
        ReleaseLibrary(library);
        Fail(keyPath, "no handle for the device");
        return 0;
    }

    reg::DeleteKeyTree(dev->activeKey);  // left over from an earlier run
    reg::SetString(dev->activeKey, u"Key", keyPath);
    if (!dev->name.empty()) reg::SetString(dev->activeKey, u"Name", dev->name);
    reg::SetDword(dev->activeKey, u"Hnd", dev->handle);
    for (uint32_t i = 0; extra != nullptr && i < extraCount; ++i) {
        if (extra[i].name == nullptr) continue;
        auto* bytes = static_cast<const uint8_t*>(extra[i].data);
        reg::SetValue(dev->activeKey, extra[i].name, extra[i].type,
                      std::span<const uint8_t>(bytes, bytes != nullptr ? extra[i].length : 0));
    }

    tInitStack.push_back(dev->handle);
    dev->Count(Entry::Init);
    void* deviceContext = dev->entries.init(dev->activeKey.c_str(), context);
    tInitStack.pop_back();

    if (deviceContext == nullptr) {
        reg::DeleteKeyTree(dev->activeKey);
        unfile();
        {
            // Devices this Init started stay (the driver owns that decision); they just have
            // no parent any more.
            std::lock_guard lock(M().mu);
            for (auto& d : M().devices) {
                if (d->parent == dev->handle) d->parent = 0;
            }
        }
        {
            std::lock_guard lock(dev->mu);
            dev->state = DeviceState::Gone;
        }
        HandleRemove(dev->handle);
        ReleaseLibrary(library);
        Fail(keyPath, entryPrefix + "Init returned 0");
        return 0;
    }
    {
        std::lock_guard lock(dev->mu);
        dev->context = deviceContext;
        dev->state = DeviceState::Running;
    }
    return dev->handle;
}

bool Deactivate(const std::shared_ptr<Device>& dev) {
    {
        std::lock_guard lock(dev->mu);
        if (dev->state != DeviceState::Running) return false;
        dev->state = DeviceState::Stopping;  // no new opens or calls
    }
    // Children first, newest first.
    for (;;) {
        std::shared_ptr<Device> child;
        {
            std::lock_guard lock(M().mu);
            for (auto& d : M().devices) {
                if (d->parent == dev->handle && (child == nullptr || d->sequence > child->sequence))
                    child = d;
            }
        }
        if (child == nullptr || !Deactivate(child)) break;
    }

    auto preDeinit = [&] {
        if (dev->entries.preDeinit == nullptr) return;
        dev->Count(Entry::PreDeinit);
        dev->entries.preDeinit(dev->context);
    };
    preDeinit();
    {
        std::unique_lock lock(dev->mu);
        while (!dev->cv.wait_for(lock, kRewakeInterval, [&] { return dev->inFlight == 0; })) {
            lock.unlock();
            preDeinit();
            lock.lock();
        }
    }
    dev->Count(Entry::Deinit);
    dev->entries.deinit(dev->context);
    {
        std::lock_guard lock(dev->mu);
        dev->state = DeviceState::Gone;
        for (OpenFile* file : dev->files) file->state = FileState::Dead;
        dev->files.clear();
        dev->cv.notify_all();
    }
    reg::DeleteKeyTree(dev->activeKey);
    {
        std::lock_guard lock(M().mu);
        std::erase(M().devices, dev);
    }
    HandleRemove(dev->handle);
    ReleaseLibrary(dev->library);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Application handles.

Handle DeviceOpen(std::u16string_view name, uint32_t access, uint32_t shareMode) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard lock(M().mu);
        for (auto& d : M().devices) {
            if (!d->name.empty() && AsciiIEqual(d->name, name)) dev = d;
        }
    }
    if (dev == nullptr || !dev->Enter(nullptr)) {
        plat::SetLastErrorCode(plat::kErrorFileNotFound);
        return 0;
    }
    if (dev->entries.open == nullptr) {
        dev->Leave(nullptr);
        plat::SetLastErrorCode(plat::kErrorOpenFailed);
        return 0;
    }
    plat::SetLastErrorCode(0);
    dev->Count(Entry::Open);
    void* context = dev->entries.open(dev->context, access, shareMode);
    if (context == nullptr) {
        dev->Leave(nullptr);
        if (plat::LastErrorCode() == 0) plat::SetLastErrorCode(plat::kErrorOpenFailed);
        return 0;
    }
    auto file = std::make_shared<OpenFile>(dev);
    file->context = context;
    {
        // Filed while this call still counts, so a deactivation sees the handle.
        std::lock_guard lock(dev->mu);
        dev->files.push_back(file.get());
    }
    dev->Leave(nullptr);
    Handle handle = HandleInsert(file);
    if (handle == 0) {
        CloseFile(file.get());
        plat::SetLastErrorCode(plat::kErrorNotEnoughMemory);
        return 0;
    }
    return handle;
}

namespace {

// Read and Write: the driver's count, or a failure for a refused call.
template <typename Call>
plat::Bool Transfer(Handle open, uint32_t* done, Call&& call) {
    if (done != nullptr) *done = 0;
    uint32_t count = plat::kStreamCallFailed;
    if (!WithFile(open, [&](Device& dev, void* context) { count = call(dev, context); })) {
        return 0;
    }
    if (count == plat::kStreamCallFailed) return 0;
    if (done != nullptr) *done = count;
    return 1;
}

}  // namespace

plat::Bool DeviceRead(Handle open, void* buffer, uint32_t length, uint32_t* done) {
    return Transfer(open, done, [&](Device& dev, void* context) {
        if (dev.entries.read == nullptr) return plat::kStreamCallFailed;
        dev.Count(Entry::Read);
        return dev.entries.read(context, buffer, length);
    });
}

plat::Bool DeviceWrite(Handle open, const void* buffer, uint32_t length, uint32_t* done) {
    return Transfer(open, done, [&](Device& dev, void* context) {
        if (dev.entries.write == nullptr) return plat::kStreamCallFailed;
        dev.Count(Entry::Write);
        return dev.entries.write(context, buffer, length);
    });
}

uint32_t DeviceSeek(Handle open, int32_t distance, uint32_t method) {
    uint32_t result = plat::kStreamCallFailed;
    WithFile(open, [&](Device& dev, void* context) {
        if (dev.entries.seek == nullptr) return;
        dev.Count(Entry::Seek);
        result = dev.entries.seek(context, distance, method);
    });
    return result;
}

plat::Bool DeviceIoControl(Handle open, uint32_t code, const void* in, uint32_t inLength, void* out,
                           uint32_t outLength, uint32_t* actual) {
    plat::Bool result = 0;
    if (!WithFile(open, [&](Device& dev, void* context) {
            if (dev.entries.ioControl == nullptr) {
                plat::SetLastErrorCode(plat::kErrorInvalidParameter);
                return;
            }
            dev.Count(Entry::IOControl);
            result = dev.entries.ioControl(context, code, in, inLength, out, outLength, actual);
        })) {
        return 0;
    }
    return result;
}

plat::Bool DeviceClose(Handle open) {
    auto file = HandleLookupAs<OpenFile>(open);
    if (file == nullptr || !CloseFile(file.get())) {
        plat::SetLastErrorCode(plat::kErrorInvalidHandle);
        return 0;
    }
    HandleRemove(open);
    return 1;
}

namespace {

bool PowerCall(Handle device, Entry entry) {
    auto dev = FindRunning(device);
    if (dev == nullptr || !dev->Enter(nullptr)) return false;
    plat::StreamPowerFn fn =
        entry == Entry::PowerUp ? dev->entries.powerUp : dev->entries.powerDown;
    if (fn != nullptr) {
        dev->Count(entry);
        fn(dev->context);
    }
    dev->Leave(nullptr);
    return true;
}

}  // namespace

Handle ActivateChildDevice(Handle parent, std::u16string_view keyPath, void* context) {
    const std::u16string path(keyPath);
    tInitStack.push_back(parent);
    const Handle device = Activate(path.c_str(), nullptr, 0, context);
    tInitStack.pop_back();
    return device;
}

bool DevicePowerDown(Handle device) {
    return PowerCall(device, Entry::PowerDown);
}
bool DevicePowerUp(Handle device) {
    return PowerCall(device, Entry::PowerUp);
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// The platform services.

namespace plat {

Handle ActivateDevice(const WChar* keyPath, const RegistryEntry* entries, uint32_t entryCount,
                      void* context) {
    return sim::Activate(keyPath, entries, entryCount, context);
}

Bool DeactivateDevice(Handle device) {
    auto dev = sim::FindRunning(device);
    if (dev == nullptr || !sim::Deactivate(dev)) {
        SetLastErrorCode(kErrorInvalidHandle);
        return 0;
    }
    return 1;
}

}  // namespace plat
