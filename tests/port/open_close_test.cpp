// Port creation and teardown, the three kinds of handle, first-open defaults, power and seek.
#include <cstring>
#include <thread>

#include "tests/port/port_fixture.h"

namespace zel::test {
namespace {

constexpr uint32_t kSentinelError = 0x5A5A;

// ---------------------------------------------------------------------------------------------
// Init.

struct InitCase {
    const char* name;
    bool withIndex;
    bool withPriority;
    bool nullAdapter;
    bool failCreate;
    bool failPortInit;
    bool succeeds;
    uint32_t priority;
};

class InitTest : public PortKeysTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitTest, CreatesOrReleasesEverything) {
    const InitCase& c = GetParam();
    WriteKeys(c.withIndex, c.withPriority, 1, 77);
    FakeAdapter adapter;
    adapter.failCreate = c.failCreate;
    adapter.failPortInit = c.failPortInit;
    PortDevice* device = nullptr;
    plat::SetLastErrorCode(kSentinelError);
    device = Init(kActiveKey, c.nullAdapter ? nullptr : &adapter);
    EXPECT_EQ(plat::LastErrorCode(), kSentinelError) << "Init sets no last-error code";
    if (!c.succeeds) {
        EXPECT_EQ(device, nullptr);
        return;
    }
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Priority256, c.priority);
    EXPECT_EQ(device->RxSize, 2048u);
    EXPECT_EQ(adapter.FindPort(1), device->Port) << "filed in the adapter's port table";
    EXPECT_EQ(device->Port->OwningAdapter(), &adapter);
    EXPECT_EQ(Deinit(device), 1);
    EXPECT_EQ(adapter.FindPort(1), nullptr) << "deleting the port takes it out of the table";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitTest,
    ::testing::Values(InitCase{"Normal", true, true, false, false, false, true, 77},
                      InitCase{"NoPriority", true, false, false, false, false, true, 104},
                      InitCase{"NoIndex", false, true, false, false, false, false, 0},
                      InitCase{"NullAdapter", true, true, true, false, false, false, 0},
                      InitCase{"NoPortObject", true, true, false, true, false, false, 0},
                      InitCase{"PortInitFails", true, true, false, false, true, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Every allocation and handle creation of Init, made to fail in turn, leaves nothing behind.
TEST_F(PortKeysTest, InitReleasesEverythingWhateverStepFails) {
    for (sim::FailKind kind :
         {sim::FailKind::Allocation, sim::FailKind::Handle, sim::FailKind::Registry}) {
        bool succeeded = false;
        for (uint64_t n = 1; n < 200 && !succeeded; ++n) {
            {
                FakeAdapter adapter;
                sim::FailNth(kind, n);
                PortDevice* device = Init(kActiveKey, &adapter);
                sim::DisarmAllFailures();
                if (device != nullptr) {
                    succeeded = true;
                    EXPECT_EQ(Deinit(device), 1);
                }
            }
            EXPECT_EQ(sim::LiveHandles().size(), liveHandlesBefore)
                << "kind " << static_cast<int>(kind) << " failure " << n;
            EXPECT_EQ(sim::LiveAllocations().blocks, liveBlocksBefore)
                << "kind " << static_cast<int>(kind) << " failure " << n;
        }
        EXPECT_TRUE(succeeded);
    }
}

// ---------------------------------------------------------------------------------------------
// Opens and access.

struct AccessCase {
    const char* name;
    uint32_t first;
    uint32_t second;
    bool secondSucceeds;
    uint32_t error;  // when it fails
    uint32_t openCount;
};

class OpenAccessTest : public PortTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(OpenAccessTest, AppliesTheAccessRules) {
    const AccessCase& c = GetParam();
    OpenHandle* first = Open(device, c.first, 0);
    ASSERT_NE(first, nullptr);
    plat::SetLastErrorCode(kSentinelError);
    OpenHandle* second = Open(device, c.second, 0);
    if (c.secondSucceeds) {
        ASSERT_NE(second, nullptr);
    } else {
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(plat::LastErrorCode(), c.error);
    }
    EXPECT_EQ(device->OpenCount, c.openCount);
    const uint32_t counted = (c.first & plat::kAccessBusNamespace ? 0 : 1) +
                             (second != nullptr && !(c.second & plat::kAccessBusNamespace));
    EXPECT_EQ(port->openCalls.load(), counted > 0 ? 1u : 0u) << "only the first open opens";
    if (second != nullptr) CloseHandle(second);
    CloseHandle(first);
    EXPECT_EQ(device->OpenCount, 0u);
    EXPECT_EQ(device->AccessOwner, nullptr);
}

constexpr uint32_t R = plat::kAccessRead;
constexpr uint32_t W = plat::kAccessWrite;
constexpr uint32_t Bus = plat::kAccessBusNamespace;

INSTANTIATE_TEST_SUITE_P(Cases, OpenAccessTest,
                         ::testing::Values(AccessCase{"SecondReader", R, R, false, 12, 1},
                                           AccessCase{"SecondWriter", R, W, false, 12, 1},
                                           AccessCase{"SecondOwner", W, R | W, false, 12, 1},
                                           AccessCase{"MonitorBesideOwner", R | W, 0, true, 0, 2},
                                           AccessCase{"OwnerBesideMonitor", 0, R, true, 0, 2},
                                           AccessCase{"TwoMonitors", 0, 0, true, 0, 2},
                                           AccessCase{"BusBesideOwner", R | W, Bus | R | W, true, 0,
                                                      1},
                                           AccessCase{"OwnerBesideBus", Bus, R | W, true, 0, 1},
                                           AccessCase{"BusAlone", Bus | R, Bus, true, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, BusNamespaceOpenClearsTheTopBitsAndNeverOwns) {
    OpenHandle* bus = Open(device, Bus | R | W | 0x30000000u, 7);
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->Access, Bus);
    EXPECT_EQ(bus->ShareMode, 7u);
    EXPECT_EQ(device->AccessOwner, nullptr);
    EXPECT_EQ(device->OpenCount, 0u);
    EXPECT_EQ(port->openCalls.load(), 0u) << "the hardware stays closed";
    EXPECT_EQ(PreClose(bus), 1);
    EXPECT_EQ(Close(bus), 1);
}

TEST_F(PortTest, OwnershipPassesOnAtClose) {
    OpenHandle* owner = OpenOwner(R);
    OpenHandle* monitor = OpenOwner(0);
    EXPECT_EQ(device->AccessOwner, owner);
    CloseHandle(owner);
    EXPECT_EQ(device->AccessOwner, nullptr);
    EXPECT_EQ(port->closeCalls.load(), 0u) << "the monitor keeps the port open";
    OpenHandle* next = OpenOwner(W);
    EXPECT_EQ(device->AccessOwner, next);
    CloseHandle(next);
    CloseHandle(monitor);
    EXPECT_EQ(port->closeCalls.load(), 1u);
    EXPECT_EQ(port->openCalls.load(), 1u);
}

TEST_F(PortTest, HardwareOpenFailureUndoesTheHandle) {
    port->failOpen = true;
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Open(device, R | W, 0), nullptr);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorOpenFailed);
    EXPECT_EQ(device->OpenCount, 0u);
    EXPECT_EQ(device->AccessOwner, nullptr);
    EXPECT_EQ(device->OpenList.next, &device->OpenList) << "the handle is unlinked";
    port->failOpen = false;
    OpenHandle* h = OpenOwner();
    CloseHandle(h);
}

TEST_F(PortTest, HandleAllocationFailureSetsNoErrorOfItsOwn) {
    // Whatever a failing allocation itself leaves as the last error, Open adds nothing.
    plat::SetLastErrorCode(kSentinelError);
    sim::FailNth(sim::FailKind::Allocation, 1);
    EXPECT_EQ(plat::MemAlloc(plat::kMemZeroInit, 16), nullptr);
    const uint32_t allocatorError = plat::LastErrorCode();

    plat::SetLastErrorCode(kSentinelError);
    sim::FailNth(sim::FailKind::Allocation, 1);
    EXPECT_EQ(Open(device, R, 0), nullptr);
    sim::DisarmAllFailures();
    EXPECT_EQ(plat::LastErrorCode(), allocatorError);
    EXPECT_EQ(device->AccessOwner, nullptr);
    OpenHandle* h = OpenOwner(R);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// Defaults and what survives a close.

TEST_F(PortTest, FirstOpenDefaultsAndInitTimeouts) {
    OpenHandle* h = OpenOwner();
    const plat::Dcb dcb = GetDcb(h);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.flags, 0x1011u);
    EXPECT_EQ(dcb.XonLim, 512);
    EXPECT_EQ(dcb.XoffLim, 128);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, plat::kNoParity);
    EXPECT_EQ(dcb.StopBits, plat::kOneStopBit);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, 0x0D);
    EXPECT_EQ(dcb.EofChar, 0x0D);
    EXPECT_EQ(dcb.EvtChar, 0x0D);
    plat::CommTimeouts t{};
    uint32_t actual = 0;
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof(t), &actual), 1);
    EXPECT_EQ(actual, 20u);
    EXPECT_EQ(t.ReadIntervalTimeout, 250u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    CloseHandle(h);
}

TEST_F(PortTest, TimeoutsPersistAndTheRecordIsResetAtTheNextFirstOpen) {
    OpenHandle* h = OpenOwner();
    constexpr uint32_t kReservedBit = 1u << 20;
    EditDcb(h, [&](plat::Dcb& d) {
        d.BaudRate = 19200;
        d.ByteSize = 7;
        d.Parity = plat::kEvenParity;
        d.XonChar = 0x21;
        d.XoffChar = 0x22;
        d.XoffLim = 300;
        d.flags = plat::WithDtrControl(d.flags, plat::kDtrControlDisable) | plat::kDcbOutX |
                  plat::kDcbAbortOnError | kReservedBit;
    });
    SetTimeouts(h, 1, 2, 3, 4, 5);
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_XOFF), 1);
    EXPECT_TRUE(HasFlags(device, TransmitHeld | XoffSent));
    CloseHandle(h);

    h = OpenOwner();
    const plat::Dcb dcb = GetDcb(h);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, plat::kNoParity);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XoffLim, 128);
    EXPECT_EQ(dcb.flags, 0x1011u | kReservedBit) << "reserved bits survive, defined ones reset";
    const plat::CommTimeouts t = LoadTimeouts(device);
    EXPECT_EQ(t.ReadIntervalTimeout, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
    EXPECT_FALSE(HasFlags(device, TransmitHeld | XoffSent)) << "cleared by the first open";
    EXPECT_TRUE(HasFlags(device, SoftwareFlow)) << "kept by the first open";
    CloseHandle(h);
}

TEST_F(PortTest, FirstOpenEmptiesTheRing) {
    OpenHandle* h = OpenOwner();
    Receive(Pattern(100));
    EXPECT_EQ(RingCount(), 100u);
    CloseHandle(h);
    h = OpenOwner();
    EXPECT_EQ(RingCount(), 0u);
    EXPECT_TRUE(ReadNow(h, 10).empty());
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// Null records and the calls that take no lock.

TEST_F(PortTest, NullRecordsAreRefused) {
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Close(nullptr), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Deinit(nullptr), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    plat::SetLastErrorCode(0);
    EXPECT_EQ(PreDeinit(nullptr), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    plat::SetLastErrorCode(kSentinelError);
    EXPECT_EQ(PreClose(nullptr), 0);
    EXPECT_EQ(plat::LastErrorCode(), kSentinelError);
    PowerUp(nullptr);
    PowerDown(nullptr);
}

TEST_F(PortTest, SeekAlwaysFailsAndSetsNoError) {
    OpenHandle* h = OpenOwner();
    const struct {
        OpenHandle* handle;
        int32_t distance;
        uint32_t method;
    } cases[] = {{h, 0, 0}, {h, 100, 1}, {h, -5, 2}, {nullptr, 0, 0}};
    for (const auto& c : cases) {
        plat::SetLastErrorCode(kSentinelError);
        EXPECT_EQ(Seek(c.handle, c.distance, c.method), 0xFFFFFFFFu);
        EXPECT_EQ(plat::LastErrorCode(), kSentinelError);
    }
    EXPECT_EQ(ReturnMinusOne(), 0xFFFFFFFFu);
    CloseHandle(h);
}

TEST_F(PortTest, PowerDownAndUpReachTheHardwareObject) {
    OpenHandle* h = OpenOwner();
    PowerDown(device);
    EXPECT_EQ(port->saveCalls.load(), 1u);
    PowerUp(device);
    EXPECT_EQ(port->restoreCalls.load(), 1u);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// PreClose, PreDeinit and Deinit.

TEST_F(PortTest, PreCloseOfABusHandleDoesNothing) {
    OpenHandle* owner = OpenOwner();
    OpenHandle* bus = Open(device, Bus, 0);
    ASSERT_NE(bus, nullptr);
    SetWaitMask(owner, plat::EV_RXCHAR);
    EXPECT_EQ(PreClose(bus), 1);
    EXPECT_FALSE(HasFlags(device, ReadAbort | WriteAbort));
    EXPECT_EQ(owner->EventMask, plat::EV_RXCHAR);
    EXPECT_EQ(Close(bus), 1);
    CloseHandle(owner);
}

TEST_F(PortTest, PreCloseOfAMonitorLeavesReadsAndWritesAlone) {
    OpenHandle* owner = OpenOwner();
    OpenHandle* monitor = OpenOwner(0);
    SetWaitMask(monitor, plat::EV_RXCHAR);
    EXPECT_EQ(PreClose(monitor), 1);
    EXPECT_EQ(monitor->EventMask, 0u);
    EXPECT_FALSE(HasFlags(device, ReadAbort | WriteAbort));
    EXPECT_EQ(Close(monitor), 1);
    CloseHandle(owner);
}

TEST_F(PortTest, DeinitReleasesBusHandlesOfAClosedPort) {
    ASSERT_NE(Open(device, Bus, 0), nullptr);
    ASSERT_NE(Open(device, Bus | R, 0), nullptr);
    EXPECT_EQ(device->OpenCount, 0u);
    EXPECT_EQ(PreDeinit(device), 1);
    EXPECT_EQ(Deinit(device), 1);
    device = nullptr;  // the handle check in TearDown proves both events were closed
}

TEST_F(PortTest, DeinitClosesOpenHandlesAndThePort) {
    OpenHandle* owner = OpenOwner();
    OpenHandle* monitor = OpenOwner(0);
    ASSERT_NE(Open(device, Bus, 0), nullptr);
    SetWaitMask(monitor, plat::EV_CTS);
    SetTimeouts(owner, 0, 0, 0);

    uint32_t readResult = 0;
    plat::Bool waitResult = 7;
    uint32_t seen = 9;
    std::thread reader([&] {
        uint8_t buf[16];
        readResult = Read(owner, buf, sizeof(buf));
    });
    std::thread waiter([&] {
        uint32_t actual = 0;
        waitResult = Ioctl(monitor, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &seen, 4, &actual);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(PreDeinit(device), 1);
    reader.join();
    waiter.join();
    EXPECT_EQ(readResult, 0u);
    EXPECT_EQ(waitResult, 1);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(Deinit(device), 1);
    device = nullptr;
}

// The interrupt path keeps running until the hardware object is gone: the ring, the events
// and the locks it uses must outlive it.
TEST_F(PortTest, DeinitWhileAnInterruptIsInFlight) {
    OpenOwner();
    port->serviceDelayMs = 150;
    port->InjectReceive(Pattern(40));
    ASSERT_TRUE(WaitUntil([&] { return port->inService.load() == 1; }));
    // The interrupt thread has identified received data; the device goes away meanwhile.
    // Its ring, events and locks must outlive the hardware object, which finishes the
    // interrupt before it is gone.
    const uint64_t lateCalls = FakePort::callsAfterStreamTeardown.load();
    EXPECT_EQ(PreDeinit(device), 1);
    EXPECT_EQ(Deinit(device), 1);
    device = nullptr;
    EXPECT_EQ(FakePort::callsAfterStreamTeardown.load(), lateCalls);
}

TEST_F(PortTest, AHandleWithoutItsEventFailsCommWaitsAtOnce) {
    OpenHandle* owner = OpenOwner();
    // The next handle creation is the new handle's CommEvent.
    sim::FailNth(sim::FailKind::Handle, 1);
    OpenHandle* monitor = Open(device, 0, 0);
    sim::DisarmAllFailures();
    ASSERT_NE(monitor, nullptr) << "the handle is still returned";
    EXPECT_EQ(monitor->CommEvent, 0u);
    SetWaitMask(monitor, plat::EV_RXCHAR);
    uint32_t seen = 5;
    uint32_t actual = 0;
    plat::SetLastErrorCode(0);
    const auto start = Clock::now();
    EXPECT_EQ(Ioctl(monitor, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &seen, 4, &actual), 0);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(actual, 4u);
    // Event delivery to it is harmless, and the rest of its requests work.
    Receive(Pattern(3));
    uint32_t status = 0;
    EXPECT_EQ(Ioctl(monitor, plat::IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, 4, &actual),
              1);
    const uint64_t refusedBefore = sim::RefusedCloseCount();
    CloseHandle(monitor);
    EXPECT_EQ(sim::RefusedCloseCount(), refusedBefore) << "no close of a handle that never was";
    CloseHandle(owner);
}

}  // namespace
}  // namespace zel::test
