// What arrives on a UART's wire while an application reads: bytes, bytes with parity or
// framing errors, breaks, modem-line changes and characters the far end frames with other
// settings (a speed change at the far end), mixed with the application changing its own
// settings, purging, writing and waiting for comm events. A reader thread reads all the time.
//
// Beyond crashes and hangs: the reader never gets more bytes than arrived and the receive
// queue never holds more than the ring; when an input sends only clean characters with
// settings that keep every byte (no XON/XOFF, NUL stripping or DSR sensitivity), nothing is
// purged or powered off and the UART lost nothing to overrun, the reader gets exactly the bytes
// that were sent, in order; and nothing leaks a handle or a platform allocation.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz/fuzz_machine.h"
#include "platform/kernel.h"
#include "platform/serial.h"
#include "sim/devmgr/devmgr.h"
#include "sim/hw/uart.h"
#include "sim/hw/uart_regs.h"
#include "sim/hw/wire.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"

namespace {

constexpr const char* kTarget = "wire_fuzz";
constexpr int kMaxSteps = 24;
constexpr uint32_t kRingBytes = 2048;
// Every record this target sets uses the usual flow-control characters (so does the default).
constexpr uint8_t kXon = 0x11;
constexpr uint8_t kXoff = 0x13;

void Expect(bool holds, const std::string& what) {
    if (!holds) zelfuzz::Fault(kTarget, what);
}

constexpr uint32_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

plat::Bool Control(plat::Handle h, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength) {
    uint32_t actual = 0;
    return sim::DeviceIoControl(h, code, in, inLength, out, outLength, &actual);
}

plat::SerialDevStatus Status(plat::Handle h) {
    plat::SerialDevStatus status{};
    Control(h, plat::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    return status;
}

// Reads all the time on its own thread and keeps what it read.
class Reader {
  public:
    explicit Reader(plat::Handle h) : handle_(h), thread_([this] { Loop(); }) {}
    ~Reader() {
        stop_ = true;
        thread_.join();
    }

    // Forgets what was read so far.
    void Clear() {
        std::lock_guard lock(mu_);
        got_.clear();
    }
    std::vector<uint8_t> Got() {
        std::lock_guard lock(mu_);
        return got_;
    }
    size_t Count() {
        std::lock_guard lock(mu_);
        return got_.size();
    }
    // Reads finished, each after what it read was kept.
    uint64_t Reads() const { return reads_.load(); }

  private:
    void Loop() {
        std::vector<uint8_t> buffer(256);
        while (!stop_) {
            uint32_t done = 0;
            if (!sim::DeviceRead(handle_, buffer.data(), static_cast<uint32_t>(buffer.size()),
                                 &done)) {
                // With abort-on-error reads fail until the errors are collected.
                Status(handle_);
                std::this_thread::yield();
                ++reads_;
                continue;
            }
            Expect(done <= buffer.size(), "Read moved more bytes than asked for");
            if (done != 0) {
                std::lock_guard lock(mu_);
                got_.insert(got_.end(), buffer.begin(), buffer.begin() + done);
            }
            ++reads_;
        }
    }

    const plat::Handle handle_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<uint8_t> got_;  // guarded by mu_
    std::atomic<uint64_t> reads_{0};
    std::thread thread_;
};

struct Session {
    zelfuzz::FuzzMachine& m = zelfuzz::Machine();
    plat::Handle h = sim::DeviceOpen(m.externalPort, plat::kAccessRead | plat::kAccessWrite, 0);
    zelfuzz::Helper helper;
    std::unique_ptr<Reader> reader;
    size_t handlesAtRest = 0;
    uint64_t blocksAtRest = 0;
    // The settings the port has adopted last.
    uint32_t flags = 0;
    uint8_t dataBits = 8;

    Session() {
        if (h == 0) zelfuzz::Fault(kTarget, "cannot open the port");
        // A read returns as soon as bytes are there, or after 2 ms without any; a write gives
        // up after 20 ms (the far end may hold it with CTS or DSR).
        const plat::CommTimeouts timeouts{plat::kMaxDword, plat::kMaxDword, 2, 0, 20};
        Control(h, plat::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
        plat::Dcb dcb{};
        Control(h, plat::IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof dcb);
        flags = dcb.flags;
        dataBits = dcb.ByteSize;
        reader = std::make_unique<Reader>(h);
    }
};

Session* gSession = nullptr;

class Input {
  public:
    Input(FuzzedDataProvider& in, Session& s) : in_(in), s_(s), wire_(*s.m.wire) {}

    void Run() {
        const uint64_t overrunsBefore = s_.m.externalUart->Stats().overruns;
        s_.reader->Clear();
        wire_.SetModemLines({true, true, false, true});
        SetDcb(MakeDcb());
        for (int step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; ++step) Step();
        Settle();
        const std::vector<uint8_t> got = s_.reader->Got();
        Expect(got.size() <= symbols_, "the reader got " + std::to_string(got.size()) +
                                           " bytes of " + std::to_string(symbols_) + " sent");
        const bool lost = s_.m.externalUart->Stats().overruns != overrunsBefore;
        if (clean_ && !lost) {
            const std::vector<uint8_t> sent = Expected();
            Expect(got == sent, "the reader got " + std::to_string(got.size()) +
                                    " bytes other than the " + std::to_string(sent.size()) +
                                    " clean ones sent");
        }
    }

  private:
    // The clean bytes sent as Read must give them: cut to the data width; without NULs when
    // they are stripped; without XON and XOFF under software flow control, which takes them
    // out of the data whichever direction it controls.
    std::vector<uint8_t> Expected() const {
        const auto mask = static_cast<uint8_t>((1u << s_.dataBits) - 1);
        const bool software = (s_.flags & (plat::kDcbOutX | plat::kDcbInX)) != 0;
        std::vector<uint8_t> out;
        for (uint8_t b : sent_) {
            b &= mask;
            if (b == 0 && (s_.flags & plat::kDcbNull)) continue;
            if (software && (b == kXon || b == kXoff)) continue;
            out.push_back(b);
        }
        return out;
    }

    plat::Dcb MakeDcb() {
        plat::Dcb dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = kBauds[in_.ConsumeIntegralInRange<size_t>(0, std::size(kBauds) - 1)];
        dcb.ByteSize = in_.ConsumeIntegralInRange<uint8_t>(5, 8);
        dcb.Parity = in_.ConsumeIntegralInRange<uint8_t>(0, 4);
        dcb.StopBits = in_.ConsumeIntegralInRange<uint8_t>(0, 2);
        const auto bits = in_.ConsumeIntegral<uint16_t>();
        dcb.flags = plat::kDcbBinary | (bits & ~(plat::kDcbDtrControlMask | plat::kDcbRtsControlMask));
        dcb.flags = plat::WithDtrControl(dcb.flags, (bits >> 4) % 3);
        dcb.flags = plat::WithRtsControl(dcb.flags, (bits >> 12) & 3);
        dcb.XonLim = in_.ConsumeBool() ? 512 : in_.ConsumeIntegralInRange<uint16_t>(0, 2048);
        dcb.XoffLim = in_.ConsumeBool() ? 512 : in_.ConsumeIntegralInRange<uint16_t>(0, 2048);
        dcb.XonChar = kXon;
        dcb.XoffChar = kXoff;
        dcb.ErrorChar = in_.ConsumeIntegral<char>();
        dcb.EofChar = 0x1A;
        dcb.EvtChar = in_.ConsumeIntegral<char>();
        return dcb;
    }

    // A refused record leaves the settings as they were (perhaps those of an earlier input).
    void SetDcb(const plat::Dcb& dcb) {
        if (Control(s_.h, plat::IOCTL_SERIAL_SET_DCB, &dcb, sizeof dcb, nullptr, 0)) {
            s_.dataBits = dcb.ByteSize;
            s_.flags = dcb.flags;
        }
        // Whether a byte is kept then depends on the far end's DSR.
        if (s_.flags & plat::kDcbDsrSensitivity) clean_ = false;
    }

    void Sent(const std::vector<uint8_t>& bytes, bool clean) {
        symbols_ += bytes.size();
        if (clean) {
            sent_.insert(sent_.end(), bytes.begin(), bytes.end());
        } else {
            clean_ = false;
        }
    }

    sim::LineFrame FarFrame() {
        sim::LineFrame f;
        f.clockHz = s_.m.externalUart->Config().clockHz;
        const uint32_t baud = kBauds[in_.ConsumeIntegralInRange<size_t>(0, std::size(kBauds) - 1)];
        f.divisor = std::max<uint32_t>(1, f.clockHz / (16 * baud));
        f.dataBits = in_.ConsumeIntegralInRange<uint8_t>(5, 8);
        f.parity = static_cast<sim::Parity>(in_.ConsumeIntegralInRange(0, 4));
        f.stopHalfBits = in_.ConsumeIntegralInRange<uint8_t>(2, 4);
        return f;
    }

    void Step() {
        switch (in_.ConsumeIntegralInRange(0, 11)) {
            case 0:
            case 1:
            case 2: {  // clean characters
                const std::vector<uint8_t> bytes =
                    in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(1, 48));
                wire_.Send(bytes);
                Sent(bytes, true);
                break;
            }
            case 3: {  // a character with a parity and/or framing error
                const auto byte = in_.ConsumeIntegral<uint8_t>();
                const bool parity = in_.ConsumeBool();
                wire_.SendWithError(byte, parity, !parity || in_.ConsumeBool());
                Sent({byte}, false);
                break;
            }
            case 4:
                wire_.SendBreak();
                Sent({0}, false);
                break;
            case 5: {  // the far end's modem outputs
                const auto lines = in_.ConsumeIntegral<uint8_t>();
                wire_.SetModemLines({(lines & 1) != 0, (lines & 2) != 0, (lines & 4) != 0,
                                     (lines & 8) != 0});
                break;
            }
            case 6: {  // the far end changed its settings
                const sim::LineFrame frame = FarFrame();
                const std::vector<uint8_t> bytes =
                    in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(1, 16));
                wire_.SendFramed(bytes, frame);
                Sent(bytes, false);
                break;
            }
            case 7:  // the application changes its settings mid-stream
                SetDcb(MakeDcb());
                clean_ = false;
                break;
            case 8: {  // purge, and the status the application sees
                const uint32_t flags = in_.ConsumeIntegralInRange<uint32_t>(0, 15);
                if (flags != 0) {
                    Control(s_.h, plat::IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
                    if (flags & (plat::PURGE_RXABORT | plat::PURGE_RXCLEAR)) clean_ = false;
                }
                const plat::SerialDevStatus status = Status(s_.h);
                Expect(status.ComStat.cbInQue <= kRingBytes, "more queued than the ring holds");
                break;
            }
            case 9: {  // a write to the far end, or a comm-event wait, on the helper
                const plat::Handle h = s_.h;
                if (in_.ConsumeBool()) {
                    std::vector<uint8_t> data =
                        in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(1, 32));
                    s_.helper.TryRun([h, data] {
                        uint32_t done = 0;
                        sim::DeviceWrite(h, data.data(), static_cast<uint32_t>(data.size()), &done);
                        Expect(done <= data.size(), "Write reported more than it was given");
                    });
                } else {
                    const uint32_t mask = in_.ConsumeIntegralInRange<uint32_t>(1, 0x1FF);
                    s_.helper.TryRun([h, mask] {
                        if (!Control(h, plat::IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask,
                                     nullptr, 0)) {
                            return;
                        }
                        uint32_t events = 0;
                        Control(h, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events,
                                sizeof events);
                    });
                }
                break;
            }
            case 10:  // let the line run a while
                WaitLine(std::chrono::milliseconds(2));
                break;
            case 11:  // power off and on, with characters arriving meanwhile
                sim::DevicePowerDown(s_.m.externalDevice);
                if (in_.ConsumeBool()) {
                    const std::vector<uint8_t> bytes =
                        in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(1, 8));
                    wire_.Send(bytes);
                    Sent(bytes, false);
                }
                sim::DevicePowerUp(s_.m.externalDevice);
                clean_ = false;
                break;
        }
    }

    // Until every character sent has arrived in the UART.
    bool WaitLine(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (wire_.PendingToUart() != 0) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::yield();
        }
        return true;
    }

    // The line and the reader catch up; waits and writes on the helper end.
    void Settle() {
        Expect(WaitLine(std::chrono::seconds(10)), "characters still on the line after 10 s");
        const uint32_t none = 0;
        const uint32_t abort = plat::PURGE_TXABORT;
        Control(s_.h, plat::IOCTL_SERIAL_SET_WAIT_MASK, &none, sizeof none, nullptr, 0);
        Control(s_.h, plat::IOCTL_SERIAL_PURGE, &abort, sizeof abort, nullptr, 0);
        if (!s_.helper.WaitIdle(std::chrono::milliseconds(0))) {
            // The call may have started after the wake-up: wake it again until it returns.
            for (int i = 0; i < 2000 && !s_.helper.WaitIdle(std::chrono::milliseconds(5)); ++i) {
                Control(s_.h, plat::IOCTL_SERIAL_SET_WAIT_MASK, &none, sizeof none, nullptr, 0);
                Control(s_.h, plat::IOCTL_SERIAL_PURGE, &abort, sizeof abort, nullptr, 0);
            }
            Expect(s_.helper.WaitIdle(std::chrono::milliseconds(0)),
                   "a wait or write did not end when woken");
        }
        // What reached the UART reaches the reader: the FIFO below its trigger level empties
        // after the character time-out (four character times, microseconds at this pace), the
        // ring as the reader reads.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Drained()) {
            Expect(std::chrono::steady_clock::now() < end, "received bytes not read after 10 s");
            std::this_thread::yield();
        }
        // The read in progress may hold bytes it has not handed over yet: an abort makes it
        // return, and what it read is kept before it counts as finished.
        const uint64_t reads = s_.reader->Reads();
        const uint32_t abortRead = plat::PURGE_RXABORT;
        const auto abortEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (s_.reader->Reads() == reads && std::chrono::steady_clock::now() < abortEnd) {
            Control(s_.h, plat::IOCTL_SERIAL_PURGE, &abortRead, sizeof abortRead, nullptr, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        Expect(s_.reader->Reads() != reads, "a read did not return within 5 s of an abort");
        s_.m.recorder->Clear();
    }

    // Nothing left in the UART, no interrupt pending or being served, the ring empty: every
    // byte that arrived has gone to the reader.
    bool Drained() {
        sim::Uart& uart = *s_.m.externalUart;
        if (uart.Read8(sim::uart::kRxLevelOffset) != 0 || uart.InterruptPending()) return false;
        sim::IrqSettle();
        if (sim::IrqCountersOf(s_.m.sysIntr).inService) return false;
        return Status(s_.h).ComStat.cbInQue == 0;
    }

    FuzzedDataProvider& in_;
    Session& s_;
    sim::ExternalWire& wire_;
    size_t symbols_ = 0;           // characters and breaks sent
    std::vector<uint8_t> sent_;    // the clean characters sent
    bool clean_ = true;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static Session session;
    gSession = &session;
    // Let the first open settle before counting what stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    session.handlesAtRest = sim::LiveHandleCount();
    session.blocksAtRest = sim::LiveAllocations().blocks;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Input(in, *gSession).Run();
    zelfuzz::ExpectHandleCount(kTarget, gSession->handlesAtRest);
    const uint64_t blocks = sim::LiveAllocations().blocks;
    Expect(blocks == gSession->blocksAtRest,
           std::to_string(blocks) + " blocks allocated through the platform, expected " +
               std::to_string(gSession->blocksAtRest));
    return 0;
}
