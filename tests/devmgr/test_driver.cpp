// A small stream driver for the device-manager tests. It exports the prefix-less entry points
// and the same ones with the prefix TST, records every call in the probe, and checks the rules
// the device manager promises: no call on a record it has closed, no Close while a call on
// that handle is inside, PreClose before Close, Deinit only when no call is inside.
//
// Device key values it reads: "FailInit" (dword 1: Init returns null), "ChildKey" (string:
// Init activates that key with the new device as context).
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/kernel.h"
#include "platform/serial.h"
#include "platform/stream.h"
#include "sim/registry/registry.h"
#include "tests/devmgr/probe.h"

namespace {

struct TstOpen;

struct TstDevice {
    std::string name;  // last component of the device key
    void* initContext = nullptr;
    std::vector<TstOpen*> opens;  // guarded by gMu
    int callsInside = 0;          // guarded by gMu
};

struct TstOpen {
    TstDevice* device = nullptr;
    uint32_t number = 0;
    uint32_t access = 0;
    bool aborted = false;  // guarded by gMu
    bool preClosed = false;
    int callsInside = 0;  // guarded by gMu
};

// Counts Inits since the library was loaded; a fresh load starts again at 0.
int gInitCount = 0;
uint32_t gNextOpen = 1;
std::mutex gMu;
std::condition_variable gCv;
std::set<void*> gLive;  // records handed out and not yet freed

tst::Probe& P() {
    return tst::TheProbe();
}

std::string Leaf(const std::u16string& path) {
    std::string text = sim::reg::ToUtf8(path);
    size_t slash = text.rfind('\\');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// Checks that a record given by the device manager is live; gMu held.
bool LiveLocked(void* record, const char* entry) {
    if (gLive.count(record) != 0) return true;
    P().Violation(std::string(entry) + " on a freed or unknown record");
    return false;
}

TstOpen* EnterCall(void* open, const char* entry) {
    std::lock_guard lock(gMu);
    if (!LiveLocked(open, entry)) return nullptr;
    auto* o = static_cast<TstOpen*>(open);
    ++o->callsInside;
    ++o->device->callsInside;
    ++P().callsInside;
    return o;
}

void LeaveCall(TstOpen* o) {
    std::lock_guard lock(gMu);
    --o->callsInside;
    --o->device->callsInside;
    --P().callsInside;
}

// A call that waits until PreClose or PreDeinit wakes it. Like the serial driver's Read it
// forgets earlier wake-ups when it starts.
void BlockUntilWoken(TstOpen* o) {
    std::unique_lock lock(gMu);
    o->aborted = false;
    ++P().blockedCalls;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (!gCv.wait_until(lock, deadline, [&] { return o->aborted; })) {
            P().Violation("a blocked call was never woken");
            break;
        }
        if (P().abortsToIgnore > 0) {
            --P().abortsToIgnore;
            o->aborted = false;
            continue;
        }
        break;
    }
    --P().blockedCalls;
}

void* DoInit(const char* entry, const plat::WChar* activeKey, void* context) {
    std::u16string active(activeKey != nullptr ? activeKey : u"");
    std::u16string key = sim::reg::GetString(active, u"Key").value_or(u"");
    auto* dev = new TstDevice;
    dev->name = Leaf(key);
    dev->initContext = context;
    P().Record(std::string(entry) + " " + dev->name + " #" + std::to_string(++gInitCount) + " " +
               sim::reg::ToUtf8(active));
    if (sim::reg::GetDword(key, u"FailInit").value_or(0) != 0) {
        delete dev;
        return nullptr;
    }
    {
        std::lock_guard lock(gMu);
        gLive.insert(dev);
    }
    if (auto child = sim::reg::GetString(key, u"ChildKey")) {
        if (plat::ActivateDevice(child->c_str(), nullptr, 0, dev) == 0) {
            P().Record("child activation failed");
        }
    }
    return dev;
}

plat::Bool DoDeinit(const char* entry, void* device) {
    std::unique_lock lock(gMu);
    if (!LiveLocked(device, entry)) return 0;
    auto* dev = static_cast<TstDevice*>(device);
    if (dev->callsInside != 0) P().Violation(std::string(entry) + " while a call is inside");
    for (TstOpen* o : dev->opens) {
        gLive.erase(o);
        delete o;
    }
    gLive.erase(dev);
    std::string name = dev->name;
    delete dev;
    lock.unlock();
    P().Record(std::string(entry) + " " + name);
    return 1;
}

void* DoOpen(const char* entry, void* device, uint32_t access, uint32_t share) {
    std::lock_guard lock(gMu);
    if (!LiveLocked(device, entry)) return nullptr;
    auto* dev = static_cast<TstDevice*>(device);
    P().Record(std::string(entry) + " " + dev->name + " access " + std::to_string(access) +
               " share " + std::to_string(share));
    if (P().failOpen) {
        if (P().openError != 0) plat::SetLastErrorCode(P().openError);
        return nullptr;
    }
    auto* o = new TstOpen;
    o->device = dev;
    o->number = gNextOpen++;
    o->access = access;
    dev->opens.push_back(o);
    gLive.insert(o);
    return o;
}

plat::Bool DoPreClose(const char* entry, void* open) {
    std::lock_guard lock(gMu);
    if (!LiveLocked(open, entry)) return 0;
    auto* o = static_cast<TstOpen*>(open);
    o->preClosed = true;
    o->aborted = true;
    gCv.notify_all();
    P().Record(std::string(entry) + " " + o->device->name);
    return 1;
}

plat::Bool DoClose(const char* entry, void* open) {
    std::lock_guard lock(gMu);
    if (!LiveLocked(open, entry)) return 0;
    auto* o = static_cast<TstOpen*>(open);
    if (o->callsInside != 0) P().Violation(std::string(entry) + " while a call is inside");
    if (!o->preClosed) P().Violation(std::string(entry) + " without PreClose");
    std::erase(o->device->opens, o);
    P().Record(std::string(entry) + " " + o->device->name);
    gLive.erase(o);
    delete o;
    return 1;
}

plat::Bool DoPreDeinit(const char* entry, void* device) {
    std::lock_guard lock(gMu);
    if (!LiveLocked(device, entry)) return 0;
    auto* dev = static_cast<TstDevice*>(device);
    for (TstOpen* o : dev->opens) o->aborted = true;
    gCv.notify_all();
    P().Record(std::string(entry) + " " + dev->name);
    return 1;
}

uint32_t DoRead(const char* entry, void* open, void* buffer, uint32_t length) {
    TstOpen* o = EnterCall(open, entry);
    if (o == nullptr) return plat::kStreamCallFailed;
    uint32_t result = length;
    if (P().blockCalls) {
        BlockUntilWoken(o);
        result = 0;
    } else if (buffer != nullptr) {
        std::memset(buffer, 0x5A, length);
    }
    LeaveCall(o);
    return result;
}

uint32_t DoWrite(const char* entry, void* open, const void*, uint32_t length) {
    TstOpen* o = EnterCall(open, entry);
    if (o == nullptr) return plat::kStreamCallFailed;
    LeaveCall(o);
    return length;
}

uint32_t DoSeek(const char* entry, void* open, int32_t distance, uint32_t method) {
    TstOpen* o = EnterCall(open, entry);
    if (o == nullptr) return plat::kStreamCallFailed;
    LeaveCall(o);
    return static_cast<uint32_t>(distance) + method;
}

plat::Bool DoIoControl(const char* entry, void* open, uint32_t code, const void* in,
                       uint32_t inLength, void* out, uint32_t outLength, uint32_t* actual) {
    TstOpen* o = EnterCall(open, entry);
    if (o == nullptr) return 0;
    plat::Bool result = 1;
    if (code == tst::kEchoCode && out != nullptr && outLength >= 4 && actual != nullptr) {
        std::memcpy(out, &o->number, 4);
        *actual = 4;
    } else if (code == tst::kBlockingCode) {
        if (P().blockCalls) BlockUntilWoken(o);
    } else if (code == plat::IOCTL_POWER_CAPABILITIES && out != nullptr && outLength >= 48 &&
               actual != nullptr) {
        plat::PowerCapabilities caps{};
        caps.DeviceDx = 0x19;
        std::memcpy(out, &caps, sizeof caps);
        *actual = sizeof caps;
        P().Record("PowerCaps " + o->device->name + " access " + std::to_string(o->access));
    } else if (code == plat::IOCTL_POWER_SET && out != nullptr && outLength >= 4 &&
               actual != nullptr) {
        uint32_t state;
        std::memcpy(&state, out, 4);
        P().Record("PowerSet " + o->device->name + " " + std::to_string(state) + " access " +
                   std::to_string(o->access));
        if (state > 4) {
            plat::SetLastErrorCode(87);
            result = 0;
        } else {
            // This device only knows full power and off.
            state = state == 0 ? 0 : 4;
            std::memcpy(out, &state, 4);
            *actual = 4;
        }
    } else if ((code & 0xFFFFFF00u) == 0x1B0000u) {
        // Serial codes: logged with their lengths and the first input word (or byte); the output
        // is filled with 1, 2, 3, ...
        std::string line = "Serial " + o->device->name + " code " + std::to_string(code) + " in " +
                           std::to_string(inLength) + " out " + std::to_string(outLength);
        if (in != nullptr && inLength >= 1) {
            uint32_t first = 0;
            std::memcpy(&first, in, inLength >= 4 ? 4 : 1);
            line += " first " + std::to_string(first);
        }
        P().Record(line);
        for (uint32_t i = 0; out != nullptr && i < outLength; ++i) {
            static_cast<uint8_t*>(out)[i] = static_cast<uint8_t>(i + 1);
        }
        if (actual != nullptr) *actual = outLength;
    } else {
        plat::SetLastErrorCode(87);
        result = 0;
    }
    LeaveCall(o);
    return result;
}

void DoPower(const char* entry, void* device) {
    std::lock_guard lock(gMu);
    if (!LiveLocked(device, entry)) return;
    P().Record(std::string(entry) + " " + static_cast<TstDevice*>(device)->name);
}

}  // namespace

#define ZEL_TEST_ENTRIES(PREFIX, NAME)                                                          \
    __attribute__((visibility("default"))) void* PREFIX##Init(const plat::WChar* key,           \
                                                              void* context) {                  \
        return DoInit(NAME "Init", key, context);                                               \
    }                                                                                           \
    __attribute__((visibility("default"))) plat::Bool PREFIX##Deinit(void* device) {            \
        return DoDeinit(NAME "Deinit", device);                                                 \
    }                                                                                           \
    __attribute__((visibility("default"))) void* PREFIX##Open(void* device, uint32_t access,    \
                                                              uint32_t share) {                 \
        return DoOpen(NAME "Open", device, access, share);                                      \
    }                                                                                           \
    __attribute__((visibility("default"))) plat::Bool PREFIX##Close(void* open) {               \
        return DoClose(NAME "Close", open);                                                     \
    }                                                                                           \
    __attribute__((visibility("default"))) plat::Bool PREFIX##PreClose(void* open) {            \
        return DoPreClose(NAME "PreClose", open);                                               \
    }                                                                                           \
    __attribute__((visibility("default"))) plat::Bool PREFIX##PreDeinit(void* device) {         \
        return DoPreDeinit(NAME "PreDeinit", device);                                           \
    }                                                                                           \
    __attribute__((visibility("default")))                                                      \
    uint32_t PREFIX##Read(void* open, void* buffer, uint32_t length) {                          \
        return DoRead(NAME "Read", open, buffer, length);                                       \
    }                                                                                           \
    __attribute__((visibility("default")))                                                      \
    uint32_t PREFIX##Write(void* open, const void* buffer, uint32_t length) {                   \
        return DoWrite(NAME "Write", open, buffer, length);                                     \
    }                                                                                           \
    __attribute__((visibility("default")))                                                      \
    uint32_t PREFIX##Seek(void* open, int32_t distance, uint32_t method) {                      \
        return DoSeek(NAME "Seek", open, distance, method);                                     \
    }                                                                                           \
    __attribute__((visibility("default")))                                                      \
    plat::Bool PREFIX##IOControl(void* open, uint32_t code, const void* in, uint32_t inLength,  \
                                 void* out, uint32_t outLength, uint32_t* actual) {             \
        return DoIoControl(NAME "IOControl", open, code, in, inLength, out, outLength, actual); \
    }                                                                                           \
    __attribute__((visibility("default"))) void PREFIX##PowerUp(void* device) {                 \
        DoPower(NAME "PowerUp", device);                                                        \
    }                                                                                           \
    __attribute__((visibility("default"))) void PREFIX##PowerDown(void* device) {               \
        DoPower(NAME "PowerDown", device);                                                      \
    }

extern "C" {
ZEL_TEST_ENTRIES(, "")
ZEL_TEST_ENTRIES(TST_, "TST_")

__attribute__((visibility("default"))) plat::Bool DllEntry(void*, uint32_t reason, void*) {
    if (reason == plat::kDllProcessAttach) ++P().attaches;
    if (reason == plat::kDllProcessDetach) ++P().detaches;
    return 1;
}
}
