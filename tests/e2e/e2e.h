// What the end-to-end tests share: machines described as .reg text, booted through the machine
// builder with the real driver libraries, and a fixture that checks that nothing is left
// behind (handles, mappings, interrupt handlers, libraries) once the machine is shut down.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/serial.h"
#include "sim/api/api.h"
#include "sim/bus/sim_bus.h"
#include "sim/devmgr/devmgr.h"
#include "sim/devmgr/machine.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace e2e {

// Templates for the three families served by zelser (ZelKap, ZelKor, ZelKum), and the same
// families named to zelkor, which serves KOR only (KorOnlyKap, KorOnlyKor, KorOnlyKum).
inline std::string Templates() {
    std::string text;
    for (const char* family : {"Kap", "Kor", "Kum"}) {
        std::string prefix = family;
        for (char& c : prefix) c = static_cast<char>(std::toupper(c));
        for (auto [name, dll] : {std::pair{"Zel", "zelser.dll"}, {"KorOnly", "zelkor.dll"}}) {
            text += std::string("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\PCI\\Template\\") + name +
                    family + "]\n\"Dll\"=\"" + dll + "\"\n\"Prefix\"=\"" + prefix + "\"\n";
        }
    }
    return text;
}

inline std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// One card key. subsystemId 0x0A40: 2 ports, 0x0A41: 4, 0x0A42: 8.
inline std::string CardText(const std::string& name, const std::string& tmpl, uint32_t slot,
                            uint32_t subsystemId, uint32_t deviceId = 0x154,
                            const std::string& extra = "") {
    return "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\" + name + "]\n\"Template\"=\"" + tmpl +
           "\"\n\"Slot\"=dword:" + Hex(slot) + "\n\"VendorID\"=dword:00007a11\n" +
           "\"DeviceID\"=dword:" + Hex(deviceId) + "\n\"SubSystemID\"=dword:" + Hex(subsystemId) +
           "\n" + extra;
}

// Port n of a card on a null-modem cable to port m of another (or the same) card.
inline std::string NullModem(const std::string& card, uint32_t n, const std::string& peer,
                             uint32_t m) {
    return "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\" + card + "\\Port" + std::to_string(n) +
           "]\n\"Wire\"=\"null-modem\"\n\"Peer\"=\"" + peer + "\\\\Port" + std::to_string(m) +
           "\"\n";
}

inline std::string PortWire(const std::string& card, uint32_t n, const std::string& wire) {
    return "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\" + card + "\\Port" + std::to_string(n) +
           "]\n\"Wire\"=\"" + wire + "\"\n";
}

inline std::u16string U(const std::string& text) {
    return sim::reg::FromUtf8(text);
}
inline std::string Utf8(const std::u16string& text) {
    return sim::reg::ToUtf8(text);
}

template <typename Pred>
bool WaitFor(Pred pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Every machine's lines run at a quarter of real time (the programmed baud rates are what the
// driver sets): the 64-byte receive FIFOs then give the adapter's interrupt thread 22 ms
// instead of 5.5 ms at 115200 baud, which a loaded two-core host can keep.
constexpr double kLinePace = 4.0;
inline std::string PaceText() {
    return "[HKEY_LOCAL_MACHINE\\Machine]\n\"LineTimePercent\"=dword:" +
           Hex(static_cast<uint32_t>(kLinePace * 100)) + "\n";
}

class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override { Clean(); }

    void TearDown() override {
        machine.reset();
        ExpectNothingLeft();
    }

    static void Clean() {
        sim::DeactivateAll();
        sim::reg::ClearAll();
        sim::SetDriverDirectory("");
        sim::ClearActivationFailures();
        sim::DisarmAllFailures();
    }

    static void ExpectNothingLeft() {
        EXPECT_THAT(sim::ListDevices(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LoadedLibraries(), ::testing::IsEmpty());
        auto handles = sim::LiveHandles();
        EXPECT_TRUE(handles.empty()) << handles.size() << " handles left, first "
                                     << (handles.empty() ? "" : handles[0].description);
        EXPECT_EQ(sim::LiveMappingCount(), 0u);
        EXPECT_EQ(sim::IrqLoadedHandlerCount(), 0u);
    }

    // Boots a machine from text (after the templates) and starts it; the test fails when
    // either step fails.
    sim::Machine& Boot(const std::string& text, bool expectAllStart = true) {
        std::string error;
        machine = sim::Machine::Boot(Templates() + PaceText() + text, "machine.reg", &error);
        EXPECT_NE(machine, nullptr) << error;
        if (machine == nullptr) throw std::runtime_error(error);
        bool all = machine->Start();
        if (expectAllStart) {
            EXPECT_TRUE(all) << ::testing::PrintToString(machine->Problems());
        }
        return *machine;
    }

    std::unique_ptr<sim::Machine> machine;
};

constexpr uint32_t kReadWrite = plat::kAccessRead | plat::kAccessWrite;

}  // namespace e2e
