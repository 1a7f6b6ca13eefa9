// The device manager against a small test driver: activation and naming, active keys, library
// loading, handle routing, and the close and removal rules that keep calls away from freed
// records.
#include "sim/devmgr/devmgr.h"

#include <atomic>
#include <thread>

#include "platform/serial.h"
#include "tests/devmgr/fixture.h"

namespace {

namespace reg = sim::reg;
using namespace tst;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

tst::Probe& P() {
    return tst::TheProbe();
}

class DevMgrTest : public DriverTest {
  protected:
    static std::u16string ActiveKeyOf(plat::Handle device) {
        auto info = sim::DeviceOf(device);
        return info ? info->activeKey : u"";
    }
};

// ---------------------------------------------------------------------------------------------
// Activation.

TEST_F(DevMgrTest, ActivationChoosesEntryPointsAndName) {
    struct Case {
        const char* what;
        const char* prefix;
        uint32_t flags;
        std::optional<uint32_t> index;
        bool activates;
        const char* entryPrefix;  // of the entry points called
        const char* name;
    };
    const Case cases[] = {
        {"prefix-less entries", "TST", 8, std::nullopt, true, "", "TST1:"},
        {"prefixed entries", "TST", 0, std::nullopt, true, "TST_", "TST1:"},
        {"other flag bits", "TST", 0x7, std::nullopt, true, "TST_", "TST1:"},
        {"index from the key", "TST", 0, 5u, true, "TST_", "TST5:"},
        {"index zero", "TST", 8, 0u, true, "", "TST0:"},
        {"no prefix", "", 8, std::nullopt, true, "", ""},
        {"prefixed entries without prefix", "", 0, std::nullopt, false, "", ""},
        {"index above nine", "TST", 8, 10u, false, "", ""},
        {"prefix without such entries", "XYZ", 0, std::nullopt, false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        std::u16string key = Key("dev", c.prefix, c.flags, c.index);
        plat::Handle device = Activate(key);
        if (!c.activates) {
            EXPECT_EQ(device, 0u);
            EXPECT_THAT(sim::LastActivationError(), HasSubstr("Drivers\\Test\\dev"));
            EXPECT_THAT(reg::SubKeys(u"Drivers\\Active"), IsEmpty());
            EXPECT_EQ(LogIndex(""), -1) << "no entry point may run";
            continue;
        }
        ASSERT_NE(device, 0u);
        EXPECT_EQ(LogIndex(std::string(c.entryPrefix) + "Init dev #1"), 0);
        auto info = sim::DeviceOf(device);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->name, U(c.name));
        EXPECT_EQ(reg::GetString(info->activeKey, u"Name"),
                  *c.name ? std::optional<std::u16string>(U(c.name)) : std::nullopt);
        if (*c.name) {
            EXPECT_EQ(sim::FindDevice(U(c.name))->handle, device);
        }
        EXPECT_TRUE(plat::DeactivateDevice(device));
        const std::string prefix = c.entryPrefix;
        EXPECT_THAT(TheProbe().Log(), ElementsAre(StartsWith(prefix + "Init dev"),
                                                  prefix + "PreDeinit dev", prefix + "Deinit dev"));
    }
}

TEST_F(DevMgrTest, ActiveKeyCarriesKeyNameHandleAndExtraEntries) {
    std::u16string key = Key("dev");
    const uint32_t extraNumber = 0x1234;
    const plat::RegistryEntry extra[] = {
        {u"Extra", plat::kRegDword, &extraNumber, 4},
    };
    plat::Handle device = plat::ActivateDevice(key.c_str(), extra, 1, nullptr);
    ASSERT_NE(device, 0u);
    std::u16string active = ActiveKeyOf(device);
    EXPECT_EQ(active, u"Drivers\\Active\\01");
    EXPECT_EQ(reg::GetString(active, u"Key"), key);
    EXPECT_EQ(reg::GetString(active, u"Name"), u"TST1:");
    EXPECT_EQ(reg::GetDword(active, u"Hnd"), device);
    EXPECT_EQ(reg::GetDword(active, u"Extra"), extraNumber);
    // Init was given the active key, already complete.
    EXPECT_GE(LogIndex("Init dev #1 Drivers\\Active\\01"), 0);

    ASSERT_TRUE(plat::DeactivateDevice(device));
    EXPECT_FALSE(reg::KeyExists(active));
    EXPECT_FALSE(plat::DeactivateDevice(device));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
}

TEST_F(DevMgrTest, ActiveNumbersAndIndicesAreTheFirstFree) {
    plat::Handle a = Activate(Key("a"));
    plat::Handle b = Activate(Key("b"));
    plat::Handle c = Activate(Key("c"));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(ActiveKeyOf(c), u"Drivers\\Active\\03");
    EXPECT_EQ(sim::DeviceOf(c)->name, u"TST3:");

    ASSERT_TRUE(plat::DeactivateDevice(b));
    plat::Handle d = Activate(Key("d"));
    ASSERT_NE(d, 0u);
    EXPECT_EQ(ActiveKeyOf(d), u"Drivers\\Active\\02");
    EXPECT_EQ(sim::DeviceOf(d)->name, u"TST2:");

    // Another prefix counts on its own.
    plat::Handle other = Activate(Key("other", "OTH"));
    ASSERT_NE(other, 0u);
    EXPECT_EQ(sim::DeviceOf(other)->name, u"OTH1:");
    EXPECT_EQ(ActiveKeyOf(other), u"Drivers\\Active\\04");

    // An index that is taken refuses the device; a free one is used as given.
    EXPECT_EQ(Activate(Key("taken", "TST", 8, 3u)), 0u);
    EXPECT_THAT(sim::LastActivationError(), HasSubstr("in use"));
    plat::Handle seven = Activate(Key("seven", "TST", 8, 7u));
    EXPECT_EQ(sim::DeviceOf(seven)->name, u"TST7:");
    plat::Handle next = Activate(Key("next"));
    EXPECT_EQ(sim::DeviceOf(next)->name, u"TST4:");
}

TEST_F(DevMgrTest, AutomaticIndicesRunOutAfterNine) {
    for (int i = 1; i <= 9; ++i) ASSERT_NE(Activate(Key("d" + std::to_string(i))), 0u) << i;
    EXPECT_EQ(Activate(Key("d10")), 0u);
    EXPECT_THAT(sim::LastActivationError(), HasSubstr("no free device index"));
}

TEST_F(DevMgrTest, FailedInitLeavesNothingBehind) {
    std::u16string key = Key("bad");
    reg::SetDword(key, u"FailInit", 1);
    EXPECT_EQ(Activate(key), 0u);
    EXPECT_THAT(sim::LastActivationError(), HasSubstr("Init returned 0"));
    EXPECT_THAT(sim::ActivationFailures(), ElementsAre(HasSubstr("Drivers\\Test\\bad")));
    EXPECT_THAT(reg::SubKeys(u"Drivers\\Active"), IsEmpty());
    EXPECT_THAT(sim::LiveHandles(), IsEmpty());
    EXPECT_THAT(sim::LoadedLibraries(), IsEmpty());
    EXPECT_EQ(P().attaches, 1);
    EXPECT_EQ(P().detaches, 1);
    EXPECT_EQ(sim::DeviceOpen(u"TST1:", 0, 0), 0u);

    // Its number and name are free again.
    plat::Handle good = Activate(Key("good"));
    EXPECT_EQ(ActiveKeyOf(good), u"Drivers\\Active\\01");
    EXPECT_EQ(sim::DeviceOf(good)->name, u"TST1:");
}

TEST_F(DevMgrTest, KeysThatCannotBeActivatedAreReported) {
    struct Case {
        const char* what;
        const char* dll;  // null: no "Dll" value
        const char* reason;
    };
    const Case cases[] = {
        {"missing library", "nosuch.dll", "libnosuch.so"},
        {"no Dll value", nullptr, "\"Dll\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string key = Key(c.what);
        if (c.dll != nullptr) {
            reg::SetString(key, u"Dll", U(c.dll));
        } else {
            reg::DeleteValue(key, u"Dll");
        }
        EXPECT_EQ(Activate(key), 0u);
        EXPECT_THAT(sim::LastActivationError(), HasSubstr(c.reason));
    }
    EXPECT_EQ(Activate(u"Drivers\\Test\\absent"), 0u);
    EXPECT_THAT(sim::LastActivationError(), HasSubstr("no such key"));
    EXPECT_EQ(sim::ActivationFailures().size(), 3u);
    EXPECT_EQ(plat::ActivateDevice(nullptr, nullptr, 0, nullptr), 0u);
}

TEST_F(DevMgrTest, LibraryIsLoadedOnceAndUnloadedWithItsLastDevice) {
    plat::Handle a = Activate(Key("a"));
    plat::Handle b = Activate(Key("b", "TST", 0));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(P().attaches, 1);
    auto libraries = sim::LoadedLibraries();
    ASSERT_EQ(libraries.size(), 1u);
    EXPECT_EQ(libraries[0].devices, 2u);
    EXPECT_EQ(libraries[0].path, std::string(ZEL_TEST_DRIVER_DIR) + "/libtstdrv.so");
    EXPECT_GE(LogIndex("TST_Init b #2"), 0);

    ASSERT_TRUE(plat::DeactivateDevice(a));
    EXPECT_EQ(P().detaches, 0);
    EXPECT_EQ(sim::LoadedLibraries().size(), 1u);
    ASSERT_TRUE(plat::DeactivateDevice(b));
    EXPECT_EQ(P().detaches, 1);
    EXPECT_THAT(sim::LoadedLibraries(), IsEmpty());

    // A fresh load starts with fresh statics: the library really went away.
    ASSERT_NE(Activate(Key("c")), 0u);
    EXPECT_EQ(P().attaches, 2);
    EXPECT_GE(LogIndex("Init c #1"), 0);
}

TEST_F(DevMgrTest, DriverDirectoryComesFromSettingThenEnvironment) {
    sim::SetDriverDirectory("/somewhere");
    EXPECT_EQ(sim::DriverLibraryPath(u"zelser.dll"), "/somewhere/libzelser.so");
    EXPECT_EQ(sim::DriverLibraryPath(u"ZELKOR.DLL"), "/somewhere/libZELKOR.so");
    EXPECT_EQ(sim::DriverLibraryPath(u"plain"), "/somewhere/libplain.so");
    sim::SetDriverDirectory("");
    setenv("ZEL_DRIVER_DIR", "/from/env", 1);
    EXPECT_EQ(sim::DriverDirectory(), "/from/env");
    unsetenv("ZEL_DRIVER_DIR");
    EXPECT_EQ(sim::DriverDirectory(), ZEL_BUILD_DRIVER_DIR) << "the build's driver directory";
    sim::SetDriverDirectory(ZEL_TEST_DRIVER_DIR);
}

// ---------------------------------------------------------------------------------------------
// Handles.

TEST_F(DevMgrTest, CallsReachTheDriverWithItsOpenRecord) {
    plat::Handle device = Activate(Key("dev"));
    ASSERT_NE(device, 0u);
    auto before = sim::TotalEntryCounts();

    plat::Handle h1 = sim::DeviceOpen(u"tst1:", kReadWrite, 3);  // names ignore letter case
    plat::Handle h2 = sim::DeviceOpen(u"TST1:", 0, 0);
    ASSERT_TRUE(h1 && h2);
    EXPECT_GE(LogIndex("Open dev access 3221225472 share 3"), 0);
    EXPECT_EQ(sim::DeviceOf(device)->openHandles, 2u);

    uint32_t n1 = 0, n2 = 0, actual = 0;
    EXPECT_TRUE(sim::DeviceIoControl(h1, tst::kEchoCode, nullptr, 0, &n1, 4, &actual));
    EXPECT_EQ(actual, 4u);
    EXPECT_TRUE(sim::DeviceIoControl(h2, tst::kEchoCode, nullptr, 0, &n2, 4, &actual));
    EXPECT_NE(n1, n2) << "each handle carries its own open record";

    uint8_t buffer[8] = {};
    uint32_t done = 0;
    EXPECT_TRUE(sim::DeviceRead(h1, buffer, sizeof buffer, &done));
    EXPECT_EQ(done, 8u);
    EXPECT_EQ(buffer[7], 0x5A);
    EXPECT_TRUE(sim::DeviceWrite(h1, buffer, 5, &done));
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(sim::DeviceSeek(h1, 40, 2), 42u);

    plat::SetLastErrorCode(0);
    EXPECT_FALSE(sim::DeviceIoControl(h1, tst::kRefuseCode, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);

    EXPECT_TRUE(sim::DeviceClose(h1));
    EXPECT_TRUE(sim::DeviceClose(h2));
    EXPECT_EQ(sim::DeviceOf(device)->openHandles, 0u);

    auto counts = sim::DeviceOf(device)->counts;
    EXPECT_EQ(counts[sim::Entry::Open], 2u);
    EXPECT_EQ(counts[sim::Entry::IOControl], 3u);
    EXPECT_EQ(counts[sim::Entry::Read], 1u);
    EXPECT_EQ(counts[sim::Entry::Write], 1u);
    EXPECT_EQ(counts[sim::Entry::Seek], 1u);
    EXPECT_EQ(counts[sim::Entry::PreClose], 2u);
    EXPECT_EQ(counts[sim::Entry::Close], 2u);
    auto after = sim::TotalEntryCounts();
    EXPECT_EQ(after[sim::Entry::Close] - before[sim::Entry::Close], 2u);
}

TEST_F(DevMgrTest, BadHandlesAndNamesFail) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    EXPECT_EQ(sim::DeviceOpen(u"TST2:", 0, 0), 0u);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorFileNotFound);
    EXPECT_EQ(sim::DeviceOpen(u"TST1", 0, 0), 0u);

    plat::Handle closed = sim::DeviceOpen(u"TST1:", 0, 0);
    ASSERT_TRUE(sim::DeviceClose(closed));
    plat::Handle notAFile = plat::EventCreate();
    uint8_t byte = 0;
    uint32_t done = 7;
    for (plat::Handle bad : {plat::Handle{0}, closed, notAFile}) {
        SCOPED_TRACE(bad);
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(sim::DeviceRead(bad, &byte, 1, &done));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
        EXPECT_EQ(done, 0u);
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(sim::DeviceWrite(bad, &byte, 1, &done));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(sim::DeviceIoControl(bad, tst::kEchoCode, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
        EXPECT_EQ(sim::DeviceSeek(bad, 0, 0), 0xFFFFFFFFu);
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(sim::DeviceClose(bad));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    }
    plat::HandleClose(notAFile);
}

TEST_F(DevMgrTest, AccessCodesReachOpenUnchanged) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    const uint32_t codes[] = {0, plat::kAccessRead, plat::kAccessWrite, plat::kAccessBusNamespace,
                              plat::kAccessBusNamespace | kReadWrite};
    for (uint32_t access : codes) {
        plat::Handle h = sim::DeviceOpen(u"TST1:", access, 0);
        ASSERT_NE(h, 0u);
        EXPECT_GE(LogIndex("Open dev access " + std::to_string(access) + " share 0"), 0) << access;
        EXPECT_TRUE(sim::DeviceClose(h));
    }
}

TEST_F(DevMgrTest, FailedOpenReportsTheDriversErrorOrOpenFailed) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    P().failOpen = true;
    for (uint32_t driverError : {plat::kErrorInvalidAccess, 0u}) {
        P().openError = driverError;
        plat::SetLastErrorCode(99);
        EXPECT_EQ(sim::DeviceOpen(u"TST1:", kReadWrite, 0), 0u);
        EXPECT_EQ(plat::LastErrorCode(), driverError != 0 ? driverError : plat::kErrorOpenFailed);
    }
    EXPECT_EQ(sim::DeviceOf(sim::FindDevice(u"TST1:")->handle)->openHandles, 0u);
}

TEST_F(DevMgrTest, CloseWakesTheBlockedCallAndClosesAfterIt) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    plat::Handle h = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
    P().blockCalls = true;
    std::atomic<bool> returned{false};
    plat::Bool readResult = 0;
    uint32_t done = 99;
    std::thread reader([&] {
        uint8_t buffer[4];
        readResult = sim::DeviceRead(h, buffer, sizeof buffer, &done);
        returned = true;
    });
    ASSERT_TRUE(WaitFor([] { return P().blockedCalls == 1; }));
    EXPECT_TRUE(sim::DeviceClose(h));
    reader.join();
    EXPECT_TRUE(readResult);
    EXPECT_EQ(done, 0u);
    int preClose = LogIndex("PreClose dev"), close = LogIndex("Close dev");
    EXPECT_GE(preClose, 0);
    EXPECT_GT(close, preClose);

    uint8_t byte;
    EXPECT_FALSE(sim::DeviceRead(h, &byte, 1, &done));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
}

TEST_F(DevMgrTest, CloseRepeatsPreCloseForACallThatMissedIt) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    plat::Handle h = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
    P().blockCalls = true;
    P().abortsToIgnore = 2;
    std::thread waiter([&] {
        uint32_t actual = 0;
        sim::DeviceIoControl(h, tst::kBlockingCode, nullptr, 0, nullptr, 0, &actual);
    });
    ASSERT_TRUE(WaitFor([] { return P().blockedCalls == 1; }));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(sim::DeviceClose(h));
    auto elapsed = std::chrono::steady_clock::now() - start;
    waiter.join();
    EXPECT_GE(LogCount("PreClose dev"), 3);
    EXPECT_EQ(LogCount("Close dev"), 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));  // two repeats, 50 ms apart
}

TEST_F(DevMgrTest, ClosingOneHandleDoesNotWaitForCallsOnAnother) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    plat::Handle a = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
    plat::Handle b = sim::DeviceOpen(u"TST1:", 0, 0);
    P().blockCalls = true;
    auto block = [](plat::Handle h) {
        return std::thread([h] {
            uint32_t actual = 0;
            sim::DeviceIoControl(h, tst::kBlockingCode, nullptr, 0, nullptr, 0, &actual);
        });
    };
    std::thread ta = block(a), tb = block(b);
    ASSERT_TRUE(WaitFor([] { return P().blockedCalls == 2; }));
    EXPECT_TRUE(sim::DeviceClose(a));
    ta.join();
    EXPECT_EQ(P().blockedCalls, 1) << "the other handle's call is still waiting";
    EXPECT_TRUE(sim::DeviceClose(b));
    tb.join();
}

TEST_F(DevMgrTest, DeactivationWithOpenHandlesWakesCallsAndRetiresTheHandles) {
    plat::Handle device = Activate(Key("dev"));
    plat::Handle reader = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
    plat::Handle monitor = sim::DeviceOpen(u"TST1:", 0, 0);
    plat::Handle idle = sim::DeviceOpen(u"TST1:", 0, 0);
    ASSERT_TRUE(reader && monitor && idle);
    P().blockCalls = true;
    std::thread t1([&] {
        uint8_t buffer[4];
        uint32_t done;
        sim::DeviceRead(reader, buffer, 4, &done);
    });
    std::thread t2([&] {
        uint32_t actual;
        sim::DeviceIoControl(monitor, tst::kBlockingCode, nullptr, 0, nullptr, 0, &actual);
    });
    ASSERT_TRUE(WaitFor([] { return P().blockedCalls == 2; }));
    EXPECT_TRUE(plat::DeactivateDevice(device));
    t1.join();
    t2.join();
    EXPECT_GT(LogIndex("Deinit dev"), LogIndex("PreDeinit dev"));
    EXPECT_EQ(LogCount("Close dev"), 0) << "Deinit closes the driver's records itself";
    EXPECT_EQ(sim::DeviceOpen(u"TST1:", 0, 0), 0u);

    for (plat::Handle h : {reader, monitor, idle}) {
        uint8_t byte;
        uint32_t done;
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(sim::DeviceRead(h, &byte, 1, &done));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
        EXPECT_FALSE(sim::DeviceIoControl(h, tst::kEchoCode, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
        EXPECT_TRUE(sim::DeviceClose(h)) << "the handle itself is still released";
    }
    EXPECT_EQ(LogCount("Close dev"), 0);
    EXPECT_EQ(LogCount("PreClose dev"), 0);
    EXPECT_THAT(sim::LiveHandles(), IsEmpty());
}

TEST_F(DevMgrTest, DevicesStartedInsideInitGoBeforeTheirParent) {
    std::u16string child = Key("child", "CHD");
    std::u16string parentKey = Key("parent", "PAR");
    reg::SetString(parentKey, u"ChildKey", child);
    plat::Handle parent = Activate(parentKey);
    ASSERT_NE(parent, 0u);
    auto kid = sim::FindDevice(u"CHD1:");
    ASSERT_TRUE(kid.has_value());
    EXPECT_EQ(kid->parent, parent);
    EXPECT_LT(sim::DeviceOf(parent)->sequence, kid->sequence);
    EXPECT_EQ(kid->activeKey, u"Drivers\\Active\\02");

    EXPECT_TRUE(plat::DeactivateDevice(parent));
    EXPECT_FALSE(sim::FindDevice(u"CHD1:").has_value());
    int childGone = LogIndex("Deinit child"), parentGone = LogIndex("Deinit parent");
    EXPECT_GE(childGone, 0);
    EXPECT_GT(parentGone, childGone);
}

TEST_F(DevMgrTest, DeactivateAllRemovesNewestFirst) {
    ASSERT_NE(Activate(Key("first")), 0u);
    ASSERT_NE(Activate(Key("second")), 0u);
    ASSERT_NE(Activate(Key("third")), 0u);
    EXPECT_EQ(sim::DeactivateAll(), 3u);
    EXPECT_THAT(LogLines("Deinit"), ElementsAre("Deinit third", "Deinit second", "Deinit first"));
    EXPECT_THAT(sim::ListDevices(), IsEmpty());
}

TEST_F(DevMgrTest, PowerCallsReachRunningDevices) {
    plat::Handle device = Activate(Key("dev"));
    EXPECT_TRUE(sim::DevicePowerDown(device));
    EXPECT_TRUE(sim::DevicePowerUp(device));
    EXPECT_LT(LogIndex("PowerDown dev"), LogIndex("PowerUp dev"));
    ASSERT_TRUE(plat::DeactivateDevice(device));
    EXPECT_FALSE(sim::DevicePowerDown(device));
    EXPECT_FALSE(sim::DevicePowerUp(device));
}

// Application threads keep opening, calling and closing while the device is removed: no call
// may reach a record after its Close or after Deinit (the test driver reports any).
TEST_F(DevMgrTest, CallsRacingRemovalNeverReachAFreedRecord) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        P().Reset();
        plat::Handle device = Activate(Key("dev"));
        ASSERT_NE(device, 0u);
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                while (!stop) {
                    plat::Handle h = sim::DeviceOpen(u"TST1:", t == 0 ? kReadWrite : 0, 0);
                    if (h == 0) continue;
                    for (int i = 0; i < 20; ++i) {
                        uint8_t buffer[4];
                        uint32_t done, actual;
                        if (!sim::DeviceRead(h, buffer, 4, &done)) break;
                        if (!sim::DeviceIoControl(h, tst::kEchoCode, nullptr, 0, buffer, 4,
                                                  &actual))
                            break;
                    }
                    sim::DeviceClose(h);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round));
        EXPECT_TRUE(plat::DeactivateDevice(device));
        stop = true;
        for (auto& t : threads) t.join();
        EXPECT_THAT(P().Violations(), IsEmpty());
        EXPECT_THAT(sim::LiveHandles(), IsEmpty());
    }
}

// A close and a removal that start together end with exactly one of Close or Deinit freeing
// the record, and neither while the woken call is still inside.
TEST_F(DevMgrTest, CloseRacingRemovalEndsCleanly) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        P().Reset();
        plat::Handle device = Activate(Key("dev"));
        plat::Handle h = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
        P().blockCalls = true;
        std::thread reader([&] {
            uint8_t buffer[4];
            uint32_t done;
            sim::DeviceRead(h, buffer, 4, &done);
        });
        ASSERT_TRUE(WaitFor([] { return P().blockedCalls == 1; }));
        std::thread closer([&] { EXPECT_TRUE(sim::DeviceClose(h)); });
        if (round % 2) std::this_thread::yield();
        EXPECT_TRUE(plat::DeactivateDevice(device));
        closer.join();
        reader.join();
        EXPECT_THAT(P().Violations(), IsEmpty());
        EXPECT_EQ(LogCount("Deinit dev"), 1);
        EXPECT_LE(LogCount("Close dev"), 1);
        EXPECT_THAT(sim::LiveHandles(), IsEmpty());
    }
}

}  // namespace
