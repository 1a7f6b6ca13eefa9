// zelsim: boots a simulated machine with the real driver libraries and hands its COM ports and
// UART wires to Linux programs.
//
// Exit codes: 0 the machine ran and shut down cleanly; 1 the shutdown left something behind
// (or, for the demo, the data arrived changed); 2 bad arguments or a machine that cannot be
// booted; 3 with --check, some card or port device did not start.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/zelsim/args.h"
#include "tools/zelsim/demo.h"
#include "tools/zelsim/session.h"

namespace {

constexpr char kUsage[] =
    "usage: zelsim [options] [FILE]\n"
    "       zelsim demo [demo options]\n"
    "\n"
    "Boots a simulated machine (the built-in default unless --machine names one), bridges the\n"
    "COM ports its file marks \"Expose\" to pseudo-terminals and connects the wires it marks\n"
    "\"Endpoint\", then runs until SIGINT or SIGTERM.\n"
    "\n"
    "  --machine FILE       boot the machine a .reg file describes (or just FILE)\n"
    "  --registry-out FILE  write the registry as it stands after start-up\n"
    "  --link DIR           keep links DIR/COM1, DIR/<card>.Port<n> to the terminals\n"
    "  --frame PORT=FRAME   data bits and parity a terminal cannot carry, e.g. COM3=7E1\n"
    "  --quiet              no live status view\n"
    "  --check              start, print, write --registry-out, and shut down again\n"
    "  --no-priority        keep the priority zelsim was started with (it asks for nice -10\n"
    "                       so that its simulated interrupts keep up on a busy machine)\n"
    "\n"
    "demo options:\n"
    "  --machine FILE  --from COM1  --to COM2  --baud 115200  --rx-baud N\n"
    "  --flow none|rtscts|xonxoff  --frame 8N1  --bytes 262144 | --file FILE  --quiet\n"
    "  --no-priority\n";

struct Options {
    zelsim::SessionOptions session;
    bool quiet = false;
    bool check = false;
    bool priority = true;
};

bool Parse(const std::vector<std::string>& args, Options* o, std::string* error) {
    zelsim::Args a(args);
    while (!a.Done()) {
        std::string flag = a.Next();
        if (flag == "--machine") {
            if (!a.Value(flag, &o->session.machineFile, error)) return false;
        } else if (flag == "--registry-out") {
            if (!a.Value(flag, &o->session.registryOut, error)) return false;
        } else if (flag == "--link") {
            if (!a.Value(flag, &o->session.linkDir, error)) return false;
        } else if (flag == "--frame") {
            std::string v;
            if (!a.Value(flag, &v, error) ||
                !zelsim::ParseFrameAssignment(v, &o->session.frames, error))
                return false;
        } else if (flag == "--quiet") {
            o->quiet = true;
        } else if (flag == "--check") {
            o->check = true;
        } else if (flag == "--no-priority") {
            o->priority = false;
        } else if (!flag.empty() && flag[0] != '-' && o->session.machineFile.empty()) {
            o->session.machineFile = flag;  // zelsim FILE
        } else {
            *error = "unknown option " + flag;
            return false;
        }
    }
    return true;
}

int Run(const Options& o) {
    // Signals are taken by the main thread alone, synchronously; every thread started from
    // here on (the machine's included) inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, s);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (o.priority) zelsim::RaisePriority();

    zelsim::Console console(!o.quiet && !o.check && isatty(STDOUT_FILENO));
    zelsim::Session session(console);
    std::string error;
    if (!session.Boot(o.session, &error)) {
        console.Error(error);
        session.Shutdown(&error);
        return 2;
    }
    if (!o.check) {
        console.Info("running; SIGINT (Ctrl-C) or SIGTERM stops");
        for (;;) {
            if (console.ViewOn()) console.Draw(session.StatusLines());
            timespec wait{0, 500'000'000};
            int signal = sigtimedwait(&stop, nullptr, &wait);
            if (signal > 0) break;
        }
        console.EndView();
    }
    std::string report;
    if (!session.Shutdown(&report)) {
        console.Error("shutdown not clean: " + report);
        return 1;
    }
    console.Info("shut down cleanly");
    return o.check && !session.AllStarted() ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
    }
    std::string error;
    if (!args.empty() && args[0] == "demo") {
        zelsim::DemoOptions demo;
        if (!zelsim::ParseDemoArguments({args.begin() + 1, args.end()}, &demo, &error)) {
            fprintf(stderr, "zelsim: %s\n%s", error.c_str(), kUsage);
            return 2;
        }
        return zelsim::RunDemo(demo);
    }
    Options options;
    if (!Parse(args, &options, &error)) {
        fprintf(stderr, "zelsim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    return Run(options);
}
