#include "hw/worker_thread.h"

#include "hw/serial_port.h"
#include "platform/atomic.h"

namespace zel {

WorkerThread::WorkerThread(uint32_t stackSize, plat::Bool createSuspended) {
    stopRequested = 0;
    exitCode = 0xFFFFFFFFu;
    threadHandle =
        plat::ThreadCreate(stackSize, &WorkerThread::ThreadEntry, this,
                           createSuspended ? plat::kThreadCreateSuspended : 0, &threadId);
    suspended = createSuspended ? 1 : 0;
}

WorkerThread::~WorkerThread() { TerminateThread(); }

void WorkerThread::TerminateThread() {
    if (threadHandle == 0) return;
    plat::ThreadTerminate(threadHandle, 0xFFFFFFFFu);
    // A running thread ends at its next platform wait; don't let it outlive its object.
    plat::WaitOne(threadHandle, 1000);
    plat::AtomicStore(exitCode, 0xFFFFFFFFu);
    plat::HandleClose(threadHandle);
    threadHandle = 0;
}

uint32_t WorkerThread::ThreadEntry(void* object) {
    auto* self = static_cast<WorkerThread*>(object);
    const uint32_t result = self->Run();
    plat::AtomicStore(self->exitCode, result);
    plat::ThreadExit(result);
}

plat::Bool WorkerThread::Resume() {
    if (suspended == 0) return 1;
    if (plat::ThreadResume(threadHandle) == 0xFFFFFFFFu) return 0;
    suspended = 0;
    return 1;
}

plat::Bool WorkerThread::SetPriority(uint32_t priority) {
    if (threadHandle == 0) return 0;
    return plat::ThreadSetPriority(threadHandle, priority);
}

plat::Bool WorkerThread::WaitForExit(uint32_t timeoutMs) {
    if (threadHandle == 0) return 0;
    // A thread created suspended and never resumed must run to see the stop request.
    if (!Resume()) return 0;
    if (plat::WaitOne(threadHandle, timeoutMs) != plat::kWaitSignalled) return 0;
    plat::HandleClose(threadHandle);
    threadHandle = 0;
    return 1;
}

PortInterruptThread::PortInterruptThread(SerialPort* port) : WorkerThread(0, 1) {
    ownerPort = port;
    wakeEvent = plat::EventCreate();
    // The thread starts only now that the object is complete.
    Resume();
}

PortInterruptThread::~PortInterruptThread() {
    plat::AtomicStore(stopRequested, 1);
    Wake();
    plat::AtomicStore(stopRequested, 1);
    WaitForExit(1000);
    // A thread still running is terminated here, before the event it waits on is closed.
    TerminateThread();
    if (wakeEvent != 0) plat::HandleClose(wakeEvent);
}

plat::Bool PortInterruptThread::Wake() {
    if (wakeEvent == 0) return 0;
    return plat::EventSet(wakeEvent);
}

uint32_t PortInterruptThread::Run() {
    while (plat::AtomicLoad(stopRequested) == 0) {
        if (wakeEvent == 0 || ownerPort == nullptr) break;
        if (plat::WaitOne(wakeEvent, plat::kInfinite) != plat::kWaitSignalled) continue;
        if (plat::AtomicLoad(stopRequested) != 0) break;
        ownerPort->NotifyInterrupt(InterruptNone);
    }
    return 0;
}

}  // namespace zel
