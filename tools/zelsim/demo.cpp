#include "tools/zelsim/demo.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/kernel.h"
#include "sim/api/api.h"
#include "tools/zelsim/args.h"
#include "tools/zelsim/session.h"

namespace zelsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStallLimit = std::chrono::seconds(5);  // no byte arriving for this long ends it
constexpr size_t kChunk = 4096;

bool IsFlowChar(uint8_t b) {
    return b == 0x11 || b == 0x13;
}

bool Configure(api::Handle h, uint32_t baud, const DemoOptions& o) {
    plat::Dcb dcb{};
    if (!api::GetCommState(h, &dcb)) return false;
    LineSettings s;
    s.baud = baud;
    s.frame = o.frame;
    s.rtsCts = o.flow == Flow::RtsCts;
    s.ixon = s.ixoff = o.flow == Flow::XonXoff;
    ApplyToDcb(s, dcb);
    return api::SetCommState(h, &dcb) != 0;
}

std::string Bar(size_t done, size_t total, double rate) {
    constexpr int kWidth = 30;
    int filled = total == 0 ? kWidth : static_cast<int>(kWidth * done / total);
    char text[160];
    std::snprintf(text, sizeof text, "\r[%s%s] %3d%%  %zu/%zu KiB  %.1f KB/s ",
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kWidth - filled), '-').c_str(),
                  total == 0 ? 100 : static_cast<int>(100 * done / total), done / 1024,
                  total / 1024, rate / 1000);
    return text;
}

}  // namespace

bool DemoData(const DemoOptions& o, std::vector<uint8_t>* data, std::string* error) {
    const uint8_t mask = static_cast<uint8_t>((1u << o.frame.dataBits) - 1);
    if (o.file.empty()) {
        data->resize(o.bytes);
        uint32_t x = 2463534242u;
        for (uint8_t& b : *data) {
            do {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                b = static_cast<uint8_t>(x >> 24) & mask;
            } while (o.flow == Flow::XonXoff && IsFlowChar(b));
        }
        return true;
    }
    std::ifstream in(o.file, std::ios::binary);
    if (!in) {
        *error = "cannot read " + o.file;
        return false;
    }
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (std::any_of(data->begin(), data->end(), [&](uint8_t b) { return (b & ~mask) != 0; })) {
        *error =
            o.file + " holds bytes wider than " + std::to_string(o.frame.dataBits) + " data bits";
        return false;
    }
    if (o.flow == Flow::XonXoff && std::any_of(data->begin(), data->end(), IsFlowChar)) {
        *error = o.file +
                 " holds XON or XOFF characters, which XON/XOFF hand-shaking takes out of the "
                 "data; use --flow rtscts or none";
        return false;
    }
    return true;
}

bool ParseDemoArguments(const std::vector<std::string>& args, DemoOptions* o, std::string* error) {
    Args a(args);
    while (!a.Done()) {
        std::string flag = a.Next();
        if (flag == "--machine") {
            if (!a.Value(flag, &o->machineFile, error)) return false;
        } else if (flag == "--from" || flag == "--to") {
            std::string name;
            if (!a.Value(flag, &name, error)) return false;
            (flag == "--from" ? o->from : o->to) = DeviceName(name);
        } else if (flag == "--baud" || flag == "--rx-baud") {
            uint64_t n = 0;
            if (!a.Number(flag, 1, 4000000, &n, error)) return false;
            (flag == "--baud" ? o->baud : o->rxBaud) = static_cast<uint32_t>(n);
        } else if (flag == "--flow") {
            std::string v;
            if (!a.Value(flag, &v, error)) return false;
            if (v == "none") {
                o->flow = Flow::None;
            } else if (v == "rtscts") {
                o->flow = Flow::RtsCts;
            } else if (v == "xonxoff") {
                o->flow = Flow::XonXoff;
            } else {
                *error = "--flow takes none, rtscts or xonxoff";
                return false;
            }
        } else if (flag == "--frame") {
            std::string v;
            if (!a.Value(flag, &v, error)) return false;
            auto f = ParseFrame(v);
            if (!f) {
                *error = "--frame takes a frame like 8N1 or 7E2";
                return false;
            }
            o->frame = *f;
        } else if (flag == "--file") {
            if (!a.Value(flag, &o->file, error)) return false;
        } else if (flag == "--bytes") {
            uint64_t n = 0;
            if (!a.Number(flag, 1, 64u << 20, &n, error)) return false;
            o->bytes = n;
        } else if (flag == "--quiet") {
            o->quiet = true;
        } else if (flag == "--no-priority") {
            o->priority = false;
        } else {
            *error = "unknown demo option " + flag;
            return false;
        }
    }
    return true;
}

int RunDemo(const DemoOptions& o) {
    sigset_t stop;
    sigemptyset(&stop);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, s);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (o.priority) RaisePriority();

    Console console(false);
    std::vector<uint8_t> data;
    std::string error;
    if (!DemoData(o, &data, &error)) {
        console.Error(error);
        return 2;
    }
    Session session(console);
    SessionOptions so;
    so.machineFile = o.machineFile;
    so.outside = false;
    if (!session.Boot(so, &error)) {
        console.Error(error);
        return 2;
    }
    const std::string from = sim::reg::ToUtf8(o.from), to = sim::reg::ToUtf8(o.to);
    api::Handle tx = api::Open(o.from, plat::kAccessRead | plat::kAccessWrite, 0);
    api::Handle rx = api::Open(o.to, plat::kAccessRead | plat::kAccessWrite, 0);
    const plat::CommTimeouts timeouts{5, 0, 100, 0, 200};
    int code = 2;
    if (tx == 0 || rx == 0) {
        console.Error("cannot open " + (tx == 0 ? from : to) + " (error " +
                      std::to_string(plat::LastErrorCode()) + ")");
    } else if (!Configure(tx, o.baud, o) || !Configure(rx, o.rxBaud ? o.rxBaud : o.baud, o) ||
               !api::SetCommTimeouts(tx, &timeouts) || !api::SetCommTimeouts(rx, &timeouts)) {
        console.Error("the ports refuse " + std::to_string(o.baud) + " baud " + FrameText(o.frame) +
                      " (error " + std::to_string(plat::LastErrorCode()) + ")");
    } else {
        api::PurgeComm(rx, plat::PURGE_RXCLEAR);
        console.Info("sending " + std::to_string(data.size()) + " bytes from " + from + " to " +
                     to + " at " + std::to_string(o.baud) + " baud " + FrameText(o.frame) +
                     (o.flow == Flow::RtsCts    ? ", RTS/CTS"
                      : o.flow == Flow::XonXoff ? ", XON/XOFF"
                                                : ", no hand-shaking"));
        std::atomic<bool> running{true};
        std::atomic<size_t> sent{0};
        std::mutex mutex;
        std::vector<uint8_t> got;  // guarded by mutex
        got.reserve(data.size());
        std::thread writer([&] {
            while (running && sent < data.size()) {
                uint32_t n = 0;
                size_t at = sent;
                uint32_t want = static_cast<uint32_t>(std::min(kChunk, data.size() - at));
                if (!api::Write(tx, data.data() + at, want, &n)) break;
                sent += n;
            }
        });
        std::thread reader([&] {
            uint8_t buffer[kChunk];
            while (running) {
                uint32_t n = 0;
                if (!api::Read(rx, buffer, sizeof buffer, &n)) break;
                std::lock_guard lock(mutex);
                got.insert(got.end(), buffer, buffer + n);
                if (got.size() >= data.size()) break;
            }
        });
        const bool bar = !o.quiet && isatty(STDERR_FILENO);
        const auto start = Clock::now();
        auto lastArrival = start;
        size_t lastCount = 0;
        bool interrupted = false;
        for (;;) {
            timespec wait{0, 100'000'000};
            if (sigtimedwait(&stop, nullptr, &wait) > 0) {
                interrupted = true;
                break;
            }
            size_t count;
            {
                std::lock_guard lock(mutex);
                count = got.size();
            }
            auto now = Clock::now();
            if (count != lastCount) lastArrival = now;
            lastCount = count;
            double seconds = std::chrono::duration<double>(now - start).count();
            if (bar)
                fputs(Bar(count, data.size(), count / std::max(seconds, 0.001)).c_str(), stderr);
            if (count >= data.size() || now - lastArrival > kStallLimit) break;
        }
        running = false;
        writer.join();
        reader.join();
        if (bar) fputs("\n", stderr);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

        uint32_t errors = 0;
        api::ClearCommError(rx, &errors, nullptr);
        size_t same = 0;
        while (same < got.size() && same < data.size() && got[same] == data[same]) ++same;
        char text[256];
        if (interrupted) {
            console.Info("interrupted after " + std::to_string(got.size()) + " bytes");
            code = 1;
        } else if (same == data.size() && got.size() == data.size()) {
            std::snprintf(text, sizeof text, "%zu bytes arrived intact in %.2f s (%.1f KB/s)",
                          data.size(), seconds, data.size() / seconds / 1000);
            console.Info(text);
            code = 0;
        } else {
            if (same < got.size() && same < data.size()) {
                std::snprintf(text, sizeof text,
                              "DIFFERENT: %zu of %zu bytes arrived; the first difference is at "
                              "byte %zu (sent 0x%02x, got 0x%02x)",
                              got.size(), data.size(), same, data[same], got[same]);
            } else {
                std::snprintf(text, sizeof text,
                              "DIFFERENT: %zu of %zu bytes arrived, those that did are right",
                              got.size(), data.size());
            }
            console.Info(text);
            code = 1;
        }
        std::string seen;
        for (auto [bit, name] : {std::pair{plat::CE_OVERRUN, "overrun"},
                                 {plat::CE_RXPARITY, "parity"},
                                 {plat::CE_FRAME, "framing"},
                                 {plat::CE_BREAK, "break"}}) {
            if (errors & bit) seen += std::string(seen.empty() ? "" : ", ") + name;
        }
        if (!seen.empty()) console.Info(to + " reported line errors: " + seen);
    }
    if (tx != 0) api::Close(tx);
    if (rx != 0) api::Close(rx);
    std::string report;
    if (!session.Shutdown(&report)) {
        console.Error("shutdown not clean: " + report);
        return 1;
    }
    return code;
}

}  // namespace zelsim
