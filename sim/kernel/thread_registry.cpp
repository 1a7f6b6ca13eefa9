// The registry of threads behind ThreadReports: one record per thread that has used the
// kernel, filed on first use and dropped when the thread's thread-local storage goes.

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "sim/kernel/internal.h"

namespace sim::kernel {

constinit ZEL_FAST_TLS thread_local ThreadRecord* tThreadRecord = nullptr;

namespace {

struct Registry {
    std::mutex mutex;
    std::set<ThreadRecord*> records;  // guarded by mutex
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: threads may end past exit
    return *registry;
}

// Set when the thread's record has been dropped: nothing files it again while it ends.
constinit ZEL_FAST_TLS thread_local bool tRecordDropped = false;

// Its destructor runs when the thread ends, before its thread-local storage is released.
struct Unregister {
    bool armed = false;
    ~Unregister() {
        ThreadRecord* record = tThreadRecord;
        tThreadRecord = nullptr;
        tRecordDropped = true;
        if (record == nullptr) return;
        Registry& r = TheRegistry();
        {
            std::lock_guard lock(r.mutex);
            r.records.erase(record);
        }
        delete record;
    }
};
thread_local Unregister tUnregister;

std::string Demangled(const char* name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return result;
}

}  // namespace

ThreadRecord* RegisterCurrentThread() {
    if (tRecordDropped) return nullptr;
    auto* record = new ThreadRecord;
    record->tid = static_cast<long>(::syscall(SYS_gettid));
    record->label = "thread tid " + std::to_string(record->tid);
    tUnregister.armed = true;  // the first use arms its destructor
    tThreadRecord = record;
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.records.insert(record);
    return record;
}

WaitNote::WaitNote(const KernelObject* object) : record_(CurrentThreadRecord()) {
    if (record_ == nullptr) return;
    std::lock_guard lock(record_->mutex);
    record_->waitObject = object;
    record_->since = std::chrono::steady_clock::now();
}

WaitNote::~WaitNote() {
    if (record_ == nullptr) return;
    std::lock_guard lock(record_->mutex);
    record_->waitObject = nullptr;
}

void NoteSectionWait(const char* name, const void* record) {
    ThreadRecord* r = CurrentThreadRecord();
    if (r == nullptr) return;
    std::lock_guard lock(r->mutex);
    r->waitingForSection = true;
    r->waitSectionName = name;
    r->waitSectionRecord = record;
    r->since = std::chrono::steady_clock::now();
}

void EndSectionWait() {
    ThreadRecord* r = tThreadRecord;
    if (r == nullptr) return;
    std::lock_guard lock(r->mutex);
    r->waitingForSection = false;
}

// The label of a platform thread: its number and its start routine, by symbol when the module
// exports one and otherwise as module + offset (for addr2line); hidden symbols would otherwise
// borrow the name of the nearest exported one.
std::string PlatformThreadLabel(uint32_t id, const void* start) {
    std::string label = "thread " + std::to_string(id);
    Dl_info info{};
    if (dladdr(start, &info) == 0) return label;
    if (info.dli_sname != nullptr && info.dli_saddr == start)
        return label + " " + Demangled(info.dli_sname);
    if (info.dli_fname == nullptr) return label;
    std::string module = info.dli_fname;
    module = module.substr(module.find_last_of('/') + 1);
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(start) -
                                      static_cast<const char*>(info.dli_fbase)));
    return label + " " + module + offset;
}

}  // namespace sim::kernel

namespace sim {

namespace {
std::string SectionName(const char* name, const void* record) {
    if (name != nullptr) return name;
    char text[40];
    std::snprintf(text, sizeof text, "section at %p", record);
    return text;
}
}  // namespace

void SetThreadLabel(const std::string& label) {
    kernel::ThreadRecord* record = kernel::CurrentThreadRecord();
    if (record == nullptr) return;
    std::lock_guard lock(record->mutex);
    record->label = label;
}

std::vector<ThreadReport> ThreadReports() {
    kernel::Registry& r = kernel::TheRegistry();
    std::vector<ThreadReport> reports;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(r.mutex);
    for (kernel::ThreadRecord* record : r.records) {
        ThreadReport report;
        int count = record->heldCount.load(std::memory_order_acquire);
        if (count > kernel::kMaxPublishedLocks) count = kernel::kMaxPublishedLocks;
        for (int i = 0; i < count; ++i) {
            report.held.push_back(
                SectionName(record->heldNames[i].load(std::memory_order_relaxed),
                            record->heldRecords[i].load(std::memory_order_relaxed)));
        }
        std::lock_guard recordLock(record->mutex);
        report.label = record->label;
        report.tid = record->tid;
        if (record->waitingForSection) {
            report.blockedOn = "critical section \"" +
                               SectionName(record->waitSectionName, record->waitSectionRecord) +
                               "\"";
        } else if (record->waitObject != nullptr) {
            report.blockedOn = record->waitObject->Describe();
        }
        if (!report.blockedOn.empty()) {
            report.blockedMs = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - record->since)
                    .count());
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

std::string FormatThreadReports(const std::vector<ThreadReport>& reports) {
    std::string text;
    for (const ThreadReport& t : reports) {
        text += t.label + " [tid " + std::to_string(t.tid) + "]: ";
        if (t.held.empty()) {
            text += "holds nothing";
        } else {
            text += "holds";
            for (size_t i = 0; i < t.held.size(); ++i)
                text += (i == 0 ? " \"" : ", \"") + t.held[i] + "\"";
        }
        if (t.blockedOn.empty()) {
            text += "; running";
        } else {
            text += "; blocked " + std::to_string(t.blockedMs) + " ms on " + t.blockedOn;
        }
        text += "\n";
    }
    return text;
}

}  // namespace sim
