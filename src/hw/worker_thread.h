// Threads of the driver: a worker that runs one operation on a platform thread, and the
// per-port thread that reports a system resume to the stream layer.
#pragma once

#include <cstdint>

#include "platform/atomic.h"
#include "platform/kernel.h"
#include "support/object.h"

namespace zel {

class SerialPort;

class WorkerThread : public PlatformObject {
public:
    // stackSize 0 = platform default. A thread created suspended runs only after Resume.
    WorkerThread(uint32_t stackSize, plat::Bool createSuspended);
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    plat::Bool Resume();
    plat::Bool SetPriority(uint32_t priority);
    // Resumes the thread if needed and waits for it to end; true when it ended.
    plat::Bool WaitForExit(uint32_t timeoutMs);
    virtual uint32_t Run() = 0;

    uint32_t ExitCode() const { return plat::AtomicLoad(exitCode); }
    plat::Handle ThreadHandle() const { return threadHandle; }

    // The platform thread's start routine.
    static uint32_t ThreadEntry(void* object);

protected:
    // Not virtual: owners destroy the concrete class. Ends a thread that is still running.
    ~WorkerThread();
    // Ends a thread that is still running: terminates it, gives it a bounded time to reach
    // its next platform wait and end there, and closes the handle.
    void TerminateThread();

    uint32_t stopRequested = 0;  // written by the owner, read by Run; atomic 32-bit accesses
    plat::Handle threadHandle = 0;
    uint32_t threadId = 0;
    uint32_t suspended = 0;
    uint32_t exitCode = 0xFFFFFFFFu;
};

class PortInterruptThread final : public WorkerThread {
public:
    explicit PortInterruptThread(SerialPort* port);
    ~PortInterruptThread();

    plat::Bool Wake();
    uint32_t Run() override;
    plat::Handle WakeEvent() const { return wakeEvent; }

private:
    SerialPort* ownerPort = nullptr;
    plat::Handle wakeEvent = 0;
};

}  // namespace zel
