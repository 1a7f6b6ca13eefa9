// A running machine with the n-th allocation, handle creation or registry call made to fail
// while an application opens a port, changes its settings, while the system suspends and
// resumes, and while a port or a whole adapter is removed, for every n the step reaches. Each
// run must end cleanly: the step fails with an error or succeeds, a port that is still there
// works, and after the shutdown every handle, mapping, handler and allocation is released.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "sim/power/power.h"
#include "tests/e2e/serial.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;

// What a step leaves for the checks after it.
struct StepState {
    std::vector<PortHandle> held;  // handles the step opened or kept
    std::vector<std::string> wrong;
};

struct Step {
    const char* name;
    // Opens what the step needs before failures are armed.
    std::function<void(StepState&)> prepare;
    // Runs with the failure armed.
    std::function<void(StepState&)> act;
};

void Expect(StepState& s, bool ok, const std::string& what) {
    if (!ok) s.wrong.push_back(what);
}

// Opens COM1 and COM2 with settings the cable exchange can use.
void OpenBoth(StepState& s) {
    s.held.emplace_back(u"COM1:");
    s.held.emplace_back(u"COM2:");
    for (PortHandle& h : s.held) {
        Expect(s, h != 0u, "a port could not be opened before the failure was armed");
        Expect(s, Configure(h, 115200), "settings refused before the failure was armed");
    }
}

const Step kSteps[] = {
    {"Open", [](StepState&) {},
     [](StepState& s) {
         plat::SetLastErrorCode(0);
         PortHandle h(u"COM1:");
         if (h == 0u) {
             Expect(s, plat::LastErrorCode() != 0, "a failed open set no error");
         } else {
             // A handle that opened is usable at once.
             plat::Dcb dcb{};
             Expect(s, api::GetCommState(h, &dcb) != 0, "an open handle refused GetCommState");
         }
         PortHandle monitor(u"COM2:", 0);
         if (monitor == 0u) Expect(s, plat::LastErrorCode() != 0, "a failed open set no error");
     }},
    {"Settings", OpenBoth,
     [](StepState& s) {
         api::Handle h = s.held[0];
         // Each call may fail; none may leave the port unusable (checked afterwards).
         Configure(h, 9600, [](plat::Dcb& d) {
             d.flags = plat::WithRtsControl(d.flags, plat::kRtsControlHandshake) |
                       plat::kDcbOutxCtsFlow;
             d.ByteSize = 7;
             d.Parity = plat::kEvenParity;
         });
         SetTimeouts(h, 10, 20, 30);
         api::SetupComm(h, 4096, 4096);
         api::SetCommMask(h, plat::EV_RXCHAR | plat::EV_CTS);
         api::EscapeCommFunction(h, api::kClrDtr);
         api::EscapeCommFunction(h, api::kSetDtr);
         api::PurgeComm(h, plat::PURGE_RXCLEAR | plat::PURGE_TXCLEAR);
         Configure(h, 115200, [](plat::Dcb& d) {
             d.flags = plat::WithRtsControl(d.flags, plat::kRtsControlEnable) &
                       ~plat::kDcbOutxCtsFlow;
             d.ByteSize = 8;
             d.Parity = plat::kNoParity;
         });
     }},
    {"SuspendResume", OpenBoth,
     [](StepState& s) {
         Expect(s, sim::SystemSuspend() > 0, "nothing was suspended");
         Expect(s, sim::SystemResume() > 0, "nothing was resumed");
         // The power manager's own request to a single port, too.
         uint32_t reached = 0;
         if (sim::PowerManagerSetPower(u"COM1:", 4, &reached)) {
             sim::PowerManagerSetPower(u"COM1:", 0, &reached);
         }
     }},
    {"PortRemoval", OpenBoth,
     [](StepState&) {
         if (auto com1 = sim::FindDevice(u"COM1:")) plat::DeactivateDevice(com1->handle);
     }},
    {"AdapterRemoval", OpenBoth,
     [](StepState&) {
         for (const sim::DeviceInfo& d : sim::ListDevices()) {
             if (d.parent == 0) plat::DeactivateDevice(d.handle);  // the adapter: ports are its children
         }
     }},
};

struct Case {
    const Step* step;
    sim::FailKind kind;
};

std::string KindName(sim::FailKind kind) {
    return kind == sim::FailKind::Allocation ? "Allocation"
           : kind == sim::FailKind::Handle   ? "Handle"
                                             : "Registry";
}

class FailureInjectionTest : public E2eTest, public ::testing::WithParamInterface<Case> {
  protected:
    // Why the cable between COM1 and COM2 does not carry data both ways ("" when it does).
    static std::string CableProblem(uint32_t seed) {
        PortHandle a(u"COM1:"), b(u"COM2:");
        if (a == 0u || b == 0u) return "a port cannot be opened";
        if (!Configure(a, 115200) || !Configure(b, 115200)) return "settings refused";
        for (auto [from, to] : {std::pair{&a, &b}, {&b, &a}}) {
            if (!SetTimeouts(*from, 0, 0, 3000) || !SetTimeouts(*to, 100, 3000, 0))
                return "time-outs refused";
            auto data = Pattern(64, seed);
            if (WriteBlock(*from, data) != data.size()) return "a write did not complete";
            if (ReadBlock(*to, data.size(), 5s) != data) return "the data did not arrive";
        }
        return "";
    }
};

TEST_P(FailureInjectionTest, EveryFailureEndsCleanly) {
    const Step& step = *GetParam().step;
    const sim::FailKind kind = GetParam().kind;
    size_t fired = 0;
    std::vector<std::string> wrong;
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 5000u) << "the step never ran out of calls";
        SCOPED_TRACE("call " + std::to_string(n));
        Clean();
        const uint64_t blocksBefore = sim::LiveAllocations().blocks;
        std::string error;
        machine =
            sim::Machine::Boot(Templates() + PaceText() + CardText("Card1", "ZelKap", 1, 0x0A40) +
                                   NullModem("Card1", 1, "Card1", 2),
                               "machine.reg", &error);
        ASSERT_NE(machine, nullptr) << error;
        ASSERT_TRUE(machine->Start()) << ::testing::PrintToString(machine->Problems());

        StepState state;
        step.prepare(state);
        const uint64_t before = sim::CallCount(kind);
        sim::FailNth(kind, n);
        step.act(state);
        const bool reached = sim::CallCount(kind) - before >= n;
        sim::DisarmAllFailures();
        state.held.clear();

        // Whatever is still running must work; a removed port must be gone for good.
        const bool com1 = sim::FindDevice(u"COM1:").has_value();
        const bool com2 = sim::FindDevice(u"COM2:").has_value();
        if (com1 && com2) {
            std::string why = CableProblem(static_cast<uint32_t>(n));
            if (!why.empty()) state.wrong.push_back(why);
        } else if (std::string(step.name) == "Open" || std::string(step.name) == "Settings" ||
                   std::string(step.name) == "SuspendResume") {
            state.wrong.push_back("a port device disappeared");
        } else if (!com1) {
            plat::SetLastErrorCode(0);
            if (api::Open(u"COM1:", kReadWrite, 0) != 0u) state.wrong.push_back("COM1 reopened");
        }
        for (const std::string& w : state.wrong) {
            wrong.push_back("call " + std::to_string(n) + ": " + w);
        }

        machine.reset();
        ExpectNothingLeft();
        EXPECT_EQ(sim::LiveAllocations().blocks, blocksBefore) << "allocations leaked";
        if (!reached) break;
        ++fired;
    }
    EXPECT_THAT(wrong, IsEmpty());
    std::printf("%s, %s: %zu failure points\n", step.name, KindName(kind).c_str(), fired);
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const Step& step : kSteps) {
        for (sim::FailKind kind :
             {sim::FailKind::Allocation, sim::FailKind::Handle, sim::FailKind::Registry}) {
            cases.push_back({&step, kind});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, FailureInjectionTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) {
                             return std::string(info.param.step->name) +
                                    KindName(info.param.kind);
                         });

}  // namespace
}  // namespace e2e
