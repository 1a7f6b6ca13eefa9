// The simulated interrupt controller and the generic installable interrupt handler.
//
// Locking: one controller mutex guards lines, system interrupts and the handler lists. It is
// never held while a handler reads a register (the read reaches a device model, which may be
// driving its line at that moment and so be waiting for this mutex), nor while an event is
// signalled.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/bus.h"
#include "platform/kernel.h"
#include "platform/records.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"

namespace sim {
namespace {

constexpr uint32_t kNoSysIntr = 0xFFFFFFFFu;
constexpr uint32_t kFirstAllocatedSysIntr = 16;
constexpr char16_t kHandlerLibrary[] = u"zelisr.dll";
constexpr char16_t kHandlerEntry[] = u"IsrHandler";

// A loaded installable handler: its line and the configuration sent by control code 256.
class IsrObject : public KernelObject {
  public:
    explicit IsrObject(uint32_t irq) : irq_(irq) {}
    std::string Describe() const override {
        return "installable interrupt handler (irq " + std::to_string(irq_) + ")";
    }
    void OnClose() override;

    uint32_t Irq() const { return irq_; }
    void Configure(const plat::IsrConfig& config) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = config;
        configured_ = true;
    }
    // The system interrupt the handler reports for this interrupt, or kNoSysIntr.
    uint32_t Run() const;

  private:
    const uint32_t irq_;
    mutable std::mutex mutex_;
    bool configured_ = false;
    plat::IsrConfig config_{};
};

struct SysIntr {
    uint32_t irq = 0;
    plat::Handle event = 0;
    SysIntrCounters counters;
};

struct Line {
    bool level = false;
    std::vector<std::shared_ptr<IsrObject>> handlers;  // load order
};

class Controller {
  public:
    static Controller& Get() {
        // Never destroyed: the dispatch thread may still be waiting when the process exits.
        static Controller* controller = new Controller;
        return *controller;
    }

    void SetLevel(uint32_t irq, bool asserted) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_[irq].level = asserted;
        if (asserted) PostLocked(irq);
    }

    bool Level(uint32_t irq) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = lines_.find(irq);
        return it != lines_.end() && it->second.level;
    }

    bool Map(uint32_t sysIntr, uint32_t irq) {
        if (sysIntr == 0 || sysIntr == kNoSysIntr) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sysIntrs_.find(sysIntr);
        if (it != sysIntrs_.end()) return it->second.irq == irq;
        sysIntrs_[sysIntr].irq = irq;
        return true;
    }

    uint32_t Allocate(uint32_t irq) {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t n = kFirstAllocatedSysIntr;
        while (sysIntrs_.count(n) != 0) ++n;
        sysIntrs_[n].irq = irq;
        return n;
    }

    void Unmap(uint32_t sysIntr) {
        std::lock_guard<std::mutex> lock(mutex_);
        sysIntrs_.erase(sysIntr);
    }

    bool Bind(uint32_t sysIntr, plat::Handle event) {
        if (event == 0 || HandleLookup(event) == nullptr) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sysIntrs_.find(sysIntr);
        if (it == sysIntrs_.end() || it->second.counters.bound) return false;
        SysIntr& s = it->second;
        s.event = event;
        s.counters.bound = true;
        s.counters.masked = false;
        s.counters.inService = false;
        if (lines_[s.irq].level) PostLocked(s.irq);
        return true;
    }

    void Done(uint32_t sysIntr) {
        std::lock_guard<std::mutex> lock(mutex_);
        SysIntr* s = FindBoundLocked(sysIntr);
        if (s == nullptr) return;
        ++s->counters.passes;
        s->counters.inService = false;
        if (lines_[s->irq].level) PostLocked(s->irq);
    }

    void Disable(uint32_t sysIntr) {
        std::lock_guard<std::mutex> lock(mutex_);
        SysIntr* s = FindBoundLocked(sysIntr);
        if (s == nullptr) return;
        s->event = 0;
        s->counters.bound = false;
        s->counters.masked = false;
        s->counters.inService = false;
        // Other system interrupts sharing the line may have been held back by this one.
        if (lines_[s->irq].level) PostLocked(s->irq);
    }

    void Mask(uint32_t sysIntr, bool mask) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sysIntrs_.find(sysIntr);
        if (it == sysIntrs_.end()) return;
        it->second.counters.masked = mask;
        if (!mask && lines_[it->second.irq].level) PostLocked(it->second.irq);
    }

    SysIntrCounters CountersOf(uint32_t sysIntr) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sysIntrs_.find(sysIntr);
        return it == sysIntrs_.end() ? SysIntrCounters{} : it->second.counters;
    }

    void AddHandler(const std::shared_ptr<IsrObject>& handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_[handler->Irq()].handlers.push_back(handler);
        if (lines_[handler->Irq()].level) PostLocked(handler->Irq());
    }

    void RemoveHandler(const IsrObject* handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& list = lines_[handler->Irq()].handlers;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const auto& h) { return h.get() == handler; }),
                   list.end());
    }

    size_t HandlerCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& [irq, line] : lines_) n += line.handlers.size();
        return n;
    }

    void Settle() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t target = posted_;
        settled_.wait(lock, [&] { return processed_ >= target; });
    }

  private:
    Controller() : thread_([this] { DispatchLoop(); }) { thread_.detach(); }

    SysIntr* FindBoundLocked(uint32_t sysIntr) {
        auto it = sysIntrs_.find(sysIntr);
        if (it == sysIntrs_.end() || !it->second.counters.bound) return nullptr;
        return &it->second;
    }

    void PostLocked(uint32_t irq) {
        pending_.insert(irq);
        ++posted_;
        wake_.notify_one();
    }

    // A line is held back while a bound system interrupt on it is in service or masked.
    bool BlockedLocked(uint32_t irq) const {
        for (const auto& [n, s] : sysIntrs_) {
            if (s.irq == irq && s.counters.bound && (s.counters.inService || s.counters.masked))
                return true;
        }
        return false;
    }

    // Marks a bound system interrupt in service and returns its event (0 when not bound).
    plat::Handle DeliverLocked(uint32_t sysIntr) {
        SysIntr* s = FindBoundLocked(sysIntr);
        if (s == nullptr || s->counters.inService || s->counters.masked) return 0;
        s->counters.inService = true;
        ++s->counters.signalled;
        return s->event;
    }

    void Dispatch(uint32_t irq, std::unique_lock<std::mutex>& lock) {
        Line& line = lines_[irq];
        if (!line.level || BlockedLocked(irq)) return;
        std::vector<plat::Handle> events;
        if (line.handlers.empty()) {
            for (auto& [n, s] : sysIntrs_) {
                if (s.irq != irq) continue;
                const plat::Handle e = DeliverLocked(n);
                if (e != 0) events.push_back(e);
            }
        } else {
            std::vector<std::shared_ptr<IsrObject>> handlers = line.handlers;
            lock.unlock();
            uint32_t reported = kNoSysIntr;
            for (const auto& h : handlers) {
                reported = h->Run();
                if (reported != kNoSysIntr) break;
            }
            lock.lock();
            if (reported != kNoSysIntr) {
                auto it = sysIntrs_.find(reported);
                if (it != sysIntrs_.end()) ++it->second.counters.handlerRuns;
                // The line may have been masked or dropped while the handler ran; a later
                // unmask, end of interrupt or assertion looks at it again.
                if (lines_[irq].level && !BlockedLocked(irq)) {
                    const plat::Handle e = DeliverLocked(reported);
                    if (e != 0) events.push_back(e);
                }
            }
        }
        if (events.empty()) return;
        lock.unlock();
        for (plat::Handle e : events) plat::EventSet(e);
        lock.lock();
    }

    void DispatchLoop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !pending_.empty(); });
            while (!pending_.empty()) {
                const uint32_t irq = *pending_.begin();
                pending_.erase(pending_.begin());
                Dispatch(irq, lock);
            }
            // Nothing is pending under the lock: every look requested so far has been made.
            processed_ = posted_;
            settled_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable settled_;
    std::map<uint32_t, Line> lines_;
    std::map<uint32_t, SysIntr> sysIntrs_;
    std::set<uint32_t> pending_;  // lines to look at
    uint64_t posted_ = 0;         // looks requested
    uint64_t processed_ = 0;      // looks made
    std::thread thread_;
};

void IsrObject::OnClose() {
    Controller::Get().RemoveHandler(this);
}

// One register read of the given width through the bus; the status register of a card is
// read as the kernel-side handler would, at its statically translated address.
uint32_t ReadStatus(uint32_t address, uint32_t width, bool io) {
    struct Read {
        uint32_t address, width;
        bool io;
        uint32_t value;
    } read{address, width, io, 0};
    auto body = [](void* context) {
        auto* r = static_cast<Read*>(context);
        if (r->io) {
            for (uint32_t i = 0; i < r->width; ++i)
                r->value |= static_cast<uint32_t>(plat::ReadPortByte(r->address + i)) << (8 * i);
        } else if (r->width == 4) {
            plat::ReadRegisterWords(r->address, &r->value, 1);
        } else {
            for (uint32_t i = 0; i < r->width; ++i)
                r->value |= static_cast<uint32_t>(plat::ReadRegisterByte(r->address + i))
                            << (8 * i);
        }
    };
    // A fault (the device taken off the bus) reads as nothing pending.
    if (!plat::RunGuarded(body, &read)) return 0;
    return read.value;
}

uint32_t IsrObject::Run() const {
    plat::IsrConfig c;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!configured_) return kNoSysIntr;
        c = config_;
    }
    if (c.checkPort == 0) return c.sysIntr;
    const uint32_t value = ReadStatus(c.portAddress, c.portSize, c.portIsIo != 0);
    const uint32_t mask =
        c.useMaskReg != 0 ? ReadStatus(c.maskRegAddress, c.portSize, c.portIsIo != 0) : c.mask;
    return (value & mask) != 0 ? c.sysIntr : kNoSysIntr;
}

}  // namespace

void IrqSetLevel(uint32_t irq, bool asserted) {
    Controller::Get().SetLevel(irq, asserted);
}
bool IrqLevel(uint32_t irq) {
    return Controller::Get().Level(irq);
}
uint32_t IrqAllocateSysIntr(uint32_t irq) {
    return Controller::Get().Allocate(irq);
}
bool IrqMapSysIntr(uint32_t sysIntr, uint32_t irq) {
    return Controller::Get().Map(sysIntr, irq);
}
void IrqUnmapSysIntr(uint32_t sysIntr) {
    Controller::Get().Unmap(sysIntr);
}
SysIntrCounters IrqCountersOf(uint32_t sysIntr) {
    return Controller::Get().CountersOf(sysIntr);
}
void IrqSettle() {
    Controller::Get().Settle();
}
size_t IrqLoadedHandlerCount() {
    return Controller::Get().HandlerCount();
}

}  // namespace sim

namespace plat {

Bool InterruptBind(uint32_t sysIntr, Handle event) {
    return sim::Controller::Get().Bind(sysIntr, event) ? 1 : 0;
}
void InterruptDone(uint32_t sysIntr) {
    sim::Controller::Get().Done(sysIntr);
}
void InterruptDisable(uint32_t sysIntr) {
    sim::Controller::Get().Disable(sysIntr);
}
void InterruptMask(uint32_t sysIntr, Bool mask) {
    sim::Controller::Get().Mask(sysIntr, mask != 0);
}

Handle IsrLoad(const WChar* library, const WChar* entry, uint32_t irq) {
    if (library == nullptr || entry == nullptr) return 0;
    // File names compare without case, as on the target; the entry name is exact.
    if (WStrICmp(library, sim::kHandlerLibrary) != 0 || WStrCmp(entry, sim::kHandlerEntry) != 0)
        return 0;
    auto handler = std::make_shared<sim::IsrObject>(irq);
    const Handle handle = sim::HandleInsert(handler);
    if (handle == 0) return 0;
    sim::Controller::Get().AddHandler(handler);
    return handle;
}

Bool IsrUnload(Handle isr) {
    if (sim::HandleLookupAs<sim::IsrObject>(isr) == nullptr) return 0;
    return HandleClose(isr);
}

Bool IsrControl(Handle isr, uint32_t code, const void* in, uint32_t inLength, void* out,
                uint32_t outLength, uint32_t* actual) {
    (void)out;
    (void)outLength;
    if (actual != nullptr) *actual = 0;
    auto handler = sim::HandleLookupAs<sim::IsrObject>(isr);
    if (handler == nullptr || code != kIsrControlConfigure || in == nullptr ||
        inLength != sizeof(IsrConfig))
        return 0;
    IsrConfig config;
    std::memcpy(&config, in, sizeof(config));
    if (config.checkPort != 0 && config.portSize != 1 && config.portSize != 2 &&
        config.portSize != 4)
        return 0;
    handler->Configure(config);
    return 1;
}

}  // namespace plat
