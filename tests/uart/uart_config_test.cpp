// Creation and configuration of a UART port: registry values, window checks, the name, the
// modem entries, the start-up drain and teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hw/uart16550.h"
#include "port/entry_points.h"
#include "sim/bus/sim_bus.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"
#include "tests/common/scripted_uart.h"
#include "tests/common/uart_harness.h"

namespace zeltest {
namespace {

using namespace zel;

using Reg = ScriptedUart::Reg;

TEST(UartPortConfig, DefaultsWithoutWaterMarkerAndRegStride) {
    UartBench bench;
    bench.AddUart(1);
    plat::Bool ok = 0;
    PortPtr port = bench.MakeBarePort({}, false, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(port->WaterMark(), 8u);
    EXPECT_EQ(port->RegisterStride(), 1u);
    EXPECT_EQ(port->ClockRate(), kTestClock);
    EXPECT_EQ(port->GetReceiveTriggerBits(), kFcrTrigger8);
    EXPECT_EQ(port->GetReceiveTriggerLevel(), 8u);
}

struct InitCase {
    const char* what;
    PortKeyValues keyValues;
    bool attachUart;
    bool expected;
};

PortKeyValues KeyValues(void (*edit)(PortKeyValues&)) {
    PortKeyValues keyValues;
    edit(keyValues);
    return keyValues;
}

class UartPortInit : public ::testing::TestWithParam<InitCase> {};

TEST_P(UartPortInit, SucceedsOnlyWithAUsableConfiguration) {
    const InitCase& c = GetParam();
    const size_t mappingsBefore = sim::LiveMappingCount();
    const size_t handlesBefore = sim::LiveHandles().size();
    {
        UartBench bench;
        std::shared_ptr<ScriptedUart> uart;
        if (c.attachUart) {
            uart = std::make_shared<ScriptedUart>(c.keyValues.regStride.value_or(1));
            bench.AttachTarget(1, uart);
        }
        plat::Bool ok = 0;
        PortPtr port = bench.MakeBarePort(c.keyValues, false, &ok);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(ok != 0, c.expected) << c.what;
        EXPECT_EQ(port->Registers() != nullptr, c.expected) << c.what;
        if (!c.expected && uart && port->RegisterWindow() == 0) {
            // A port that never got its registers must not touch the UART, also when destroyed.
            port.reset();
            EXPECT_TRUE(uart->Log().empty()) << c.what;
        }
    }
    // Whatever Init managed to create, destruction released it.
    EXPECT_EQ(sim::LiveMappingCount(), mappingsBefore) << c.what;
    EXPECT_EQ(sim::LiveHandles().size(), handlesBefore) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UartPortInit,
    ::testing::Values(
        InitCase{"complete key", {}, true, true},
        InitCase{"no ClockRate", KeyValues([](PortKeyValues& s) { s.clockRate.reset(); }), true,
                 false},
        InitCase{"ClockRate stored as a string",
                 KeyValues([](PortKeyValues& s) { s.clockRateAsString = true; }), true, false},
        InitCase{"stride 4, window of 31 bytes", KeyValues([](PortKeyValues& s) {
                     s.regStride = 4;
                     s.memLen = 31;
                 }),
                 true, false},
        InitCase{"stride 4, window of 32 bytes", KeyValues([](PortKeyValues& s) {
                     s.regStride = 4;
                     s.memLen = 32;
                 }),
                 true, true},
        InitCase{"window of 7 bytes", KeyValues([](PortKeyValues& s) { s.memLen = 7; }), true,
                 false},
        InitCase{"window base 0", KeyValues([](PortKeyValues& s) { s.memBase = 0; }), true, false},
        InitCase{"nothing on the bus at the window", {}, false, false}));

TEST(UartPortConfig, StrideFourReachesEveryRegisterAtItsOffset) {
    UartBench bench;
    auto uart = std::make_shared<ScriptedUart>(4);
    bench.AttachTarget(1, uart);
    PortKeyValues keyValues;
    keyValues.regStride = 4;
    keyValues.memLen = 32;
    plat::Bool ok = 0;
    PortPtr port = bench.MakeBarePort(keyValues, false, &ok);
    ASSERT_TRUE(ok);
    port->SetDTR(1);
    port->SetBreak(1);
    EXPECT_EQ(uart->Written(Reg::Mcr) & kMcrDtr, kMcrDtr);
    EXPECT_EQ(uart->Written(Reg::Lcr) & kLcrBreak, kLcrBreak);
}

struct NameCase {
    const char* what;
    std::optional<std::u16string> text;
    std::optional<std::vector<uint8_t>> bytes;
    const char16_t* expected;  // null: no name
};

std::vector<uint8_t> Utf16(std::u16string_view s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

TEST(UartPortConfig, NameFromTheActiveKey) {
    std::vector<uint8_t> odd = Utf16(u"COM1:");
    odd.push_back(0);
    odd.push_back(0);
    odd.push_back(0);  // 13 bytes
    const NameCase cases[] = {
        {"terminated string", u"COM1:", std::nullopt, u"COM1:"},
        {"no Name", std::nullopt, std::nullopt, nullptr},
        {"odd number of bytes", std::nullopt, odd, nullptr},
        {"string without its terminator", std::nullopt, Utf16(u"COM7"), u"COM7"},
    };
    for (const NameCase& c : cases) {
        UartBench bench;
        bench.AddUart(1);
        PortKeyValues keyValues;
        keyValues.name = c.text;
        keyValues.nameBytes = c.bytes;
        plat::Bool ok = 0;
        PortPtr port = bench.MakeBarePort(keyValues, false, &ok);
        ASSERT_TRUE(ok) << c.what;
        if (c.expected == nullptr) {
            EXPECT_EQ(port->Name(), nullptr) << c.what;
        } else {
            ASSERT_NE(port->Name(), nullptr) << c.what;
            EXPECT_EQ(std::u16string(port->Name()), std::u16string(c.expected)) << c.what;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Modem entries.

constexpr uint8_t kDevConfig[25] = {0x10, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x10,
                                    0x01, 0x00, 0x00, 0x00, 0x4B, 0x00, 0x00, 0x00, 0x00,
                                    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

struct ModemCase {
    const char* what;
    std::optional<std::u16string> name;
    // Expected "FriendlyName" data of the two sub keys (the whole buffer), or nothing.
    std::optional<std::vector<uint8_t>> cable;
    std::optional<std::vector<uint8_t>> hayes;
};

std::vector<uint8_t> Terminated(std::u16string_view s) {
    std::vector<uint8_t> out = Utf16(s);
    out.push_back(0);
    out.push_back(0);
    return out;
}

TEST(UartPortModemEntries, WrittenForEveryName) {
    const ModemCase cases[] = {
        {"no name", std::nullopt, Terminated(u"Serial Cable on ZEL:"),
         Terminated(u"Hayes Compatible on ZEL:")},
        {"five characters", u"COM1:", Terminated(u"Serial Cable on COM1:"),
         Terminated(u"Hayes Compatible on COM1:")},
        {"four characters, padded", u"COM1", Terminated(u"Serial Cable on  COM1"),
         Terminated(u"Hayes Compatible on  COM1")},
        {"six characters do not fit", u"COM10:", std::nullopt, std::nullopt},
    };
    for (const ModemCase& c : cases) {
        UartBench bench;
        bench.AddUart(1);
        PortKeyValues keyValues;
        keyValues.name = c.name;
        // A key missing ClockRate fails Init after the entries were written: they stay.
        keyValues.clockRate.reset();
        PortKeys keys = WritePortKeys(keyValues);
        // Values this operation does not write survive, and so does an old friendly name that
        // cannot be replaced.
        const std::u16string cable = keys.deviceKey + u"\\Unimodem";
        const std::u16string hayes = keys.deviceKey + u"\\Unimodem2";
        sim::reg::SetDword(cable, u"Other", 5);
        sim::reg::SetString(hayes, u"FriendlyName", u"old");
        {
            PortPtr port(new (std::nothrow) ProbePort(keys.activeKey.c_str(), nullptr));
            port->bare = true;
            EXPECT_FALSE(port->Init()) << c.what;
        }
        struct Sub {
            const std::u16string& path;
            uint32_t deviceType;
            const std::optional<std::vector<uint8_t>>& friendly;
        };
        const Sub subs[] = {{cable, 0, c.cable}, {hayes, 1, c.hayes}};
        for (const Sub& sub : subs) {
            auto tsp = sim::reg::GetValue(sub.path, u"Tsp");
            ASSERT_TRUE(tsp) << c.what;
            EXPECT_EQ(tsp->type, plat::kRegString);
            EXPECT_EQ(tsp->data, Terminated(u"Unimodem.dll")) << c.what;
            EXPECT_EQ(sim::reg::GetDword(sub.path, u"DeviceType"), sub.deviceType) << c.what;
            auto config = sim::reg::GetValue(sub.path, u"DevConfig");
            ASSERT_TRUE(config) << c.what;
            EXPECT_EQ(config->type, plat::kRegBinary);
            EXPECT_EQ(config->data, std::vector<uint8_t>(kDevConfig, kDevConfig + 25));
            auto friendly = sim::reg::GetValue(sub.path, u"FriendlyName");
            if (sub.friendly) {
                ASSERT_TRUE(friendly) << c.what;
                EXPECT_EQ(friendly->type, plat::kRegString);
                EXPECT_EQ(friendly->data, *sub.friendly) << c.what;
            } else if (sub.deviceType == 1) {
                ASSERT_TRUE(friendly) << c.what;
                EXPECT_EQ(friendly->data, Terminated(u"old")) << c.what;
            } else {
                EXPECT_FALSE(friendly) << c.what;
            }
        }
        EXPECT_EQ(sim::reg::GetDword(cable, u"Other"), 5u) << c.what;
        DeletePortKeys(keys);
    }
}

// ---------------------------------------------------------------------------------------------
// Start-up drain.

TEST(UartPortPostInit, DrainsUntilTheInterruptClearsAndGivesUpAfter4096Passes) {
    struct Case {
        const char* what;
        std::vector<uint8_t> iirBefore;  // pending readings before IIR reads 0x01
        bool neverClears;
        size_t passes;
    };
    const Case cases[] = {
        {"nothing pending", {}, false, 0},
        {"clears after three passes", {0xC4, 0xC6, 0xC0}, false, 3},
        {"never clears", {}, true, UartPort::kMaxDrainPasses},
    };
    for (const Case& c : cases) {
        UartBench bench;
        auto uart = std::make_shared<ScriptedUart>();
        uart->SetSteady(Reg::IirFcr, c.neverClears ? 0xC4 : kIirNoInterrupt);
        uart->Queue(Reg::IirFcr, c.iirBefore);
        bench.AttachTarget(1, uart);
        plat::Bool ok = 0;
        PortPtr port = bench.MakeBarePort({}, false, &ok);
        ASSERT_TRUE(ok);
        uart->ClearLog();
        bench.Adapter().AddPort(port.get(), 1);
        EXPECT_TRUE(port->PostInit()) << c.what;
        // Each pass resets the receive FIFO once; the drain reads IIR before each pass and,
        // unless it gave up, once more to see it clear.
        EXPECT_EQ(uart->CountOf(true, Reg::IirFcr), c.passes) << c.what;
        EXPECT_EQ(uart->CountOf(false, Reg::IirFcr), c.passes + (c.neverClears ? 0 : 1)) << c.what;
        // The interrupt sources end up on: received data, line and modem status.
        EXPECT_EQ(uart->Written(Reg::Ier), kIerReceiveData | kIerLineStatus | kIerModemStatus);
        EXPECT_EQ(uart->Written(Reg::Mcr), kMcrOut2);
    }
}

// ---------------------------------------------------------------------------------------------
// Teardown.

TEST(UartPortTeardown, WaitsForTheInterruptThreadBeforeTouchingTheUart) {
    UartBench bench;
    auto uart = std::make_shared<ScriptedUart>();
    bench.AttachTarget(1, uart);
    plat::Bool ok = 0;
    PortPtr port = bench.MakeBarePort({}, true, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(bench.Adapter().FindPort(1), port.get());

    // One receive interrupt; the interrupt thread dwells inside the port while the port is
    // deleted on another thread.
    uart->Queue(Reg::IirFcr, {0xC4});
    std::atomic<bool> inside{false};
    port->onInterrupt = [&](ProbePort&, uint32_t) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    };
    uart->ClearLog();
    std::thread service([&] { bench.Adapter().ServicePort(1); });
    ASSERT_TRUE(WaitFor([&] { return inside.load(); }, std::chrono::seconds(5)));
    port.reset();
    service.join();

    // The interrupt thread's last IIR read comes before the destructor's first register write.
    const auto log = uart->Log();
    size_t lastIirRead = 0;
    size_t firstWrite = log.size();
    for (size_t i = 0; i < log.size(); ++i) {
        if (!log[i].write && log[i].reg == Reg::IirFcr) lastIirRead = i;
        if (log[i].write && firstWrite == log.size()) firstWrite = i;
    }
    ASSERT_LT(firstWrite, log.size());
    EXPECT_LT(lastIirRead, firstWrite);
    // The destructor dropped the modem lines and the modem status interrupt.
    EXPECT_EQ(uart->Written(Reg::Mcr), 0);
    EXPECT_EQ(bench.Adapter().FindPort(1), nullptr);
}

TEST(UartPortTeardown, ResumeRightBeforeDestructionIsSafe) {
    // The port's resume thread calls back into the port (the resume report reads the modem
    // lines); destroying the port just after a resume must stop that thread before the UART
    // side goes away.
    UartBench bench;
    bench.AddUart(1);
    for (int round = 0; round < 20; ++round) {
        zel::PortDevice* device = bench.StartStreamPort(1);
        ASSERT_NE(device, nullptr);
        ::PowerDown(device);
        ::PowerUp(device);
        bench.StopStreamPort(device);
    }
}

}  // namespace
}  // namespace zeltest
