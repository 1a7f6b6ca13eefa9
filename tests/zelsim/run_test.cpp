// zelsim as a program: booting machines, refusing bad machine files, cards the driver refuses,
// the registry it writes, signals and exit codes, the link directory and the status view.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "tests/zelsim/harness.h"

namespace zelsim_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const char kTemplate[] =
    "Windows Registry Editor Version 5.00\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\PCI\\Template\\ZelKap]\n"
    "\"Dll\"=\"zelser.dll\"\n"
    "\"Prefix\"=\"KAP\"\n";

std::string Card(const std::string& name, int slot, const std::string& deviceId,
                 const std::string& subsystemId) {
    return "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\" + name + "]\n\"Template\"=\"ZelKap\"\n" +
           "\"Slot\"=dword:0000000" + std::to_string(slot) + "\n\"DeviceID\"=dword:" + deviceId +
           "\n\"SubSystemID\"=dword:" + subsystemId + "\n";
}

std::string Port(const std::string& card, int n, const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\" + card + "\\Port" + std::to_string(n) + "]\n" +
           values;
}

// ---------------------------------------------------------------------------------------------

class SignalTest : public ::testing::TestWithParam<int> {};

// The default machine: four mappings and the wire; a signal shuts it down cleanly.
TEST_P(SignalTest, DefaultMachineMapsItsPortsAndStopsCleanly) {
    Child z;
    ASSERT_TRUE(z.StartZelsim({"--quiet"}));
    auto map = z.WaitMappings(4, 1);
    for (const char* name : {"COM1:", "COM2:", "COM3:", "COM4:", "Card1\\Port4"}) {
        ASSERT_TRUE(map.count(name)) << name << "\n" << z.Stdout() << z.Stderr();
        EXPECT_THAT(map[name], ::testing::StartsWith("/dev/pts/"));
        struct stat st;
        EXPECT_EQ(stat(map[name].c_str(), &st), 0) << map[name];
    }
    ASSERT_TRUE(z.WaitLine("^running"));
    // A program attached to a terminal at the moment of the signal changes nothing.
    Terminal com1(map["COM1:"]);
    ASSERT_TRUE(com1.IsOpen());
    EXPECT_EQ(z.Stop(GetParam()), 0) << z.Stderr();
    EXPECT_THAT(z.Stdout(), HasSubstr("shut down cleanly"));
    EXPECT_EQ(z.Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::Values(SIGINT, SIGTERM));

// Each machine in machines/ boots in zelsim, starts every card and shuts down cleanly.
TEST(MachinesTest, EveryExampleBootsAndStarts) {
    std::vector<std::string> files;
    if (DIR* d = opendir(MachinesDir().c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".reg")
                files.push_back(MachinesDir() + "/" + name);
        }
        closedir(d);
    }
    ASSERT_GE(files.size(), 4u);
    for (const std::string& file : files) {
        Child z;
        ASSERT_TRUE(z.StartZelsim({"--check", "--machine", file}));
        EXPECT_EQ(z.Wait(kStartLimit), 0) << file << "\n" << z.Stdout() << z.Stderr();
        EXPECT_THAT(z.Stdout(), HasSubstr("shut down cleanly")) << file;
        EXPECT_EQ(z.Stderr(), "") << file;
    }
}

// A machine file that is wrong is refused with the file, the line and the reason.
TEST(MachinesTest, BadFilesAreRefusedWithFileLineAndReason) {
    TempDir tmp;
    const std::string good = Card("Card1", 1, "00000154", "00000a41");
    struct Case {
        const char* what;
        std::string text;
        int line;
        const char* reason;
    };
    // kTemplate takes lines 1-4, the card lines 5-9, a port key starts at line 10.
    const Case cases[] = {
        {"syntax", std::string(kTemplate) + "\"Broken\"=dword:xyz\n", 5, ""},
        {"wire", kTemplate + good + Port("Card1", 2, "\"Wire\"=\"bogus\"\n"), 11,
         "unknown \"Wire\""},
        {"frame", kTemplate + good + Port("Card1", 1, "\"Expose\"=dword:1\n\"Frame\"=\"9Z1\"\n"),
         12, "\"Frame\""},
        {"endpoint", kTemplate + good + Port("Card1", 3, "\"Endpoint\"=\"serial\"\n"), 11,
         "\"Endpoint\" must be"},
        {"both",
         kTemplate + good + Port("Card1", 3, "\"Wire\"=\"loopback\"\n\"Endpoint\"=\"pty\"\n"), 11,
         "both a \"Wire\" and an \"Endpoint\""},
        {"no port", kTemplate + good + Port("Card1", 9, "\"Expose\"=dword:1\n"), 10, "no Port9"},
        {"slot", kTemplate + good + Card("Card2", 1, "00000154", "00000a40"), 10,
         "slot 1 is taken"},
    };
    for (const Case& c : cases) {
        const std::string file = tmp / (std::string(c.what) + ".reg");
        WriteFile(file, c.text);
        Child z;
        ASSERT_TRUE(z.StartZelsim({"--quiet", "--machine", file}));
        EXPECT_EQ(z.Wait(kStartLimit), 2) << c.what;
        EXPECT_THAT(z.Stderr(), HasSubstr(file + ":" + std::to_string(c.line) + ": "))
            << c.what << ": " << z.Stderr();
        EXPECT_THAT(z.Stderr(), HasSubstr(c.reason)) << c.what;
        EXPECT_THAT(z.Stdout(), Not(HasSubstr(" -> "))) << c.what;
    }
    Child missing;
    ASSERT_TRUE(missing.StartZelsim({"--machine", tmp / "nothing.reg"}));
    EXPECT_EQ(missing.Wait(kStartLimit), 2);
    EXPECT_THAT(missing.Stderr(), HasSubstr("nothing.reg: No such file"));
}

// A card the driver refuses is reported with what failed; the other card still starts and
// its ports are bridged.
TEST(MachinesTest, ARefusedCardIsReportedAndTheOthersStart) {
    TempDir tmp;
    const std::string file = tmp / "m.reg";
    WriteFile(file, kTemplate + Card("Card1", 1, "00000154", "00000a40") +
                        Port("Card1", 1, "\"Expose\"=dword:1\n") +
                        // An unknown subsystem ID: the driver does not know the card.
                        Card("Card2", 2, "00000154", "00000a47") +
                        Port("Card2", 1, "\"Expose\"=dword:1\n"));
    Child z;
    ASSERT_TRUE(z.StartZelsim({"--check", "--machine", file}));
    EXPECT_EQ(z.Wait(kStartLimit), 3);
    EXPECT_THAT(z.Stdout(), HasSubstr("COM1: -> /dev/pts/"));
    EXPECT_THAT(z.Stderr(), HasSubstr("zelsim: Card2: "));
    EXPECT_THAT(z.Stderr(), HasSubstr("Card2\\Port1: no COM device"));
    EXPECT_THAT(z.Stderr(), Not(HasSubstr("Card1")));
    EXPECT_THAT(z.Stdout(), HasSubstr("shut down cleanly"));
}

// ---------------------------------------------------------------------------------------------

// The sections of a registry file below a key prefix, with the device handles left out.
std::string Sections(const std::string& text, const std::string& prefix) {
    std::string out;
    bool in = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '[')
            in = line.rfind("[HKEY_LOCAL_MACHINE\\" + prefix, 0) == 0;
        if (in && line.rfind("\"Hnd\"", 0) != 0) out += line + "\n";
    }
    return out;
}

// The registry after start-up: port keys, active keys and modem entries; the same when started
// again from the same file, and when started from the file it wrote.
TEST(RegistryTest, StartingTwiceLeavesTheSamePortKeys) {
    TempDir tmp;
    auto run = [&](const std::vector<std::string>& extra, const std::string& out) {
        Child z;
        std::vector<std::string> args{"--check", "--registry-out", out};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_TRUE(z.StartZelsim(args));
        EXPECT_EQ(z.Wait(kStartLimit), 0) << z.Stderr();
        return ReadFile(out);
    };
    const std::string file = MachinesDir() + "/default.reg";
    std::string first = run({"--machine", file}, tmp / "1.reg");
    std::string second = run({"--machine", file}, tmp / "2.reg");
    std::string again = run({"--machine", tmp / "1.reg"}, tmp / "3.reg");

    const std::string ports = Sections(first, "Drivers\\ZELSer");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_THAT(ports, HasSubstr("[HKEY_LOCAL_MACHINE\\Drivers\\ZELSer\\FAM_KAP&BID_01&PID_0" +
                                     std::to_string(n) + "]"));
        EXPECT_THAT(first, HasSubstr("\"Name\"=\"COM" + std::to_string(n) + ":\""));
    }
    EXPECT_THAT(ports, HasSubstr("\\Unimodem]"));
    EXPECT_EQ(Sections(second, "Drivers\\ZELSer"), ports);
    EXPECT_EQ(Sections(again, "Drivers\\ZELSer"), ports);
    // No active key is left over from the run that wrote the file.
    const std::string active = Sections(first, "Drivers\\Active");
    EXPECT_EQ(Sections(second, "Drivers\\Active"), active);
    EXPECT_EQ(Sections(again, "Drivers\\Active"), active);
}

// ---------------------------------------------------------------------------------------------

std::string LinkTarget(const std::string& path) {
    char target[256];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

// A killed zelsim leaves its links; the next one on the directory replaces them, and removes
// links of ports it no longer has. Two at once cannot share a directory.
TEST(LinkTest, AKilledRunLeavesNoStaleLinksForTheNext) {
    TempDir tmp;
    const std::string dir = tmp / "links";
    {
        Child z;
        ASSERT_TRUE(z.StartZelsim({"--quiet", "--link", dir}));
        auto map = z.WaitMappings(4, 1);
        ASSERT_EQ(map.size(), 5u) << z.Stdout() << z.Stderr();
        EXPECT_EQ(LinkTarget(dir + "/COM3"), map["COM3:"]);
        EXPECT_EQ(LinkTarget(dir + "/Card1.Port4"), map["Card1\\Port4"]);

        Child second;
        ASSERT_TRUE(second.StartZelsim({"--quiet", "--link", dir}));
        EXPECT_EQ(second.Wait(kStartLimit), 2);
        EXPECT_THAT(second.Stderr(),
                    HasSubstr("in use by another zelsim (pid " + std::to_string(z.Pid()) + ")"));
        ASSERT_TRUE(z.WaitLine("^running"));
        EXPECT_EQ(z.Stop(SIGKILL), 128 + SIGKILL);
    }
    EXPECT_NE(LinkTarget(dir + "/COM1"), "");  // left behind
    ASSERT_EQ(symlink("/dev/pts/9999", (dir + "/COM9").c_str()), 0);

    // A machine with two ports only.
    const std::string file = tmp / "m.reg";
    WriteFile(file, kTemplate + Card("Card1", 1, "00000154", "00000a40") +
                        Port("Card1", 1, "\"Expose\"=dword:1\n") +
                        Port("Card1", 2, "\"Expose\"=dword:1\n"));
    Child z;
    ASSERT_TRUE(z.StartZelsim({"--quiet", "--link", dir, "--machine", file}));
    auto map = z.WaitMappings(2);
    ASSERT_EQ(map.size(), 2u) << z.Stdout() << z.Stderr();
    for (const char* stale : {"COM3", "COM4", "COM9", "Card1.Port4"}) {
        struct stat st;
        EXPECT_NE(lstat((dir + "/" + stale).c_str(), &st), 0) << stale;
        EXPECT_THAT(z.Stdout(), HasSubstr("removed the stale link " + dir + "/" + stale));
    }
    EXPECT_EQ(LinkTarget(dir + "/COM1"), map["COM1:"]);
    EXPECT_EQ(LinkTarget(dir + "/COM2"), map["COM2:"]);
    EXPECT_EQ(z.Stop(SIGTERM), 0) << z.Stderr();
    struct stat st;
    EXPECT_NE(lstat((dir + "/COM1").c_str(), &st), 0);
    EXPECT_NE(lstat((dir + "/.zelsim.lock").c_str(), &st), 0);
}

// ---------------------------------------------------------------------------------------------

// With stdout a terminal the status view is drawn and refreshed; --quiet turns it off.
TEST(StatusViewTest, DrawnOnATerminalAndOffWithQuiet) {
    for (bool quiet : {false, true}) {
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string binary = ZelsimBinary();
            if (quiet) {
                execl(binary.c_str(), binary.c_str(), "--quiet", nullptr);
            } else {
                execl(binary.c_str(), binary.c_str(), nullptr);
            }
            _exit(127);
        }
        std::string out;
        char buffer[4096];
        const auto end = std::chrono::steady_clock::now() + kStartLimit;
        bool stopped = false;
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                ssize_t n = read(master, buffer, sizeof buffer);
                if (n <= 0) break;
                out.append(buffer, static_cast<size_t>(n));
            }
            // Two refreshes seen, or (quiet) the start finished and a second passed.
            size_t views = 0;
            for (size_t at = out.find("interrupts/s"); at != std::string::npos;
                 at = out.find("interrupts/s", at + 1))
                ++views;
            bool enough = quiet ? out.find("running") != std::string::npos : views >= 3;
            if (!stopped && (enough || std::chrono::steady_clock::now() > end)) {
                if (quiet) usleep(1200000);
                kill(pid, SIGINT);
                stopped = true;
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(master);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
        if (quiet) {
            EXPECT_THAT(out, Not(HasSubstr("interrupts/s")));
            EXPECT_THAT(out, Not(HasSubstr("\033[")));
        } else {
            EXPECT_THAT(out, HasSubstr("Card1 KAP1:"));
            std::regex row(
                R"(COM3: +9600 8N1 +loopback plug +/dev/pts/\d+ closed +DTR RTS CTS DSR DCD)");
            EXPECT_TRUE(std::regex_search(out, row)) << out;
            EXPECT_THAT(out, HasSubstr("\033[J"));  // redrawn in place
        }
        EXPECT_THAT(out, HasSubstr("shut down cleanly"));
    }
}

}  // namespace
}  // namespace zelsim_test
