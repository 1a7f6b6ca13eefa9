// IOControl on live handles of every kind: an owner, monitors (access 0) and a bus-namespace
// handle of a port with a loopback plug, opened through the device manager, plus closed
// handles, handle values that name no open file, and the adapter family's IOControl. Codes,
// buffers and lengths come from the input, in and out pointers may be null, and buffers are
// exactly as long as the lengths say, so a read or write past them is caught. Calls run on the
// fuzzer's thread or on a second thread, where waits, reads and writes block, while the first
// goes on and closes or reopens handles under them.
//
// Beyond crashes and hangs: a call on a handle that is not open fails with error 6; a reported
// byte count never exceeds the output length; the adapter's IOControl refuses everything and
// writes nothing; once every handle of an input is closed, no handle is left.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz/fuzz_machine.h"
#include "platform/kernel.h"
#include "platform/serial.h"
#include "sim/devmgr/devmgr.h"
#include "sim/kernel/sim_kernel.h"

namespace {

constexpr const char* kTarget = "ioctl_fuzz";

void Expect(bool holds, const std::string& what) {
    if (!holds) zelfuzz::Fault(kTarget, what);
}

// Calls per input: short sequences keep an input at well under a millisecond.
constexpr int kMaxSteps = 16;

constexpr uint32_t kReadWrite = plat::kAccessRead | plat::kAccessWrite;
// The handle kinds each input starts with: owner, monitor, bus namespace, a second monitor.
constexpr uint32_t kInitialAccess[] = {kReadWrite, 0, plat::kAccessBusNamespace, 0};
constexpr size_t kSlots = std::size(kInitialAccess);
constexpr uint32_t kReopenAccess[] = {kReadWrite,
                                      plat::kAccessRead,
                                      plat::kAccessWrite,
                                      0,
                                      plat::kAccessBusNamespace,
                                      plat::kAccessBusNamespace | kReadWrite};

// Codes worth trying more often than a random one: the serial range, its neighbours and the
// codes in it that are not multiples of four, the power codes and the process-exit notice.
constexpr uint32_t kSpecialCodes[] = {
    0x1B0000, 0x1B0002, 0x1B0005, 0x1B0059, 0x1B005D, 0x1B0060, 0x1AFFFC,
    plat::IOCTL_POWER_CAPABILITIES, plat::IOCTL_POWER_GET, plat::IOCTL_POWER_SET,
    plat::IOCTL_POWER_QUERY, 0x00321010, 0x00321014, plat::IOCTL_REGISTER_POWER_RELATIONSHIP,
    plat::IOCTL_PROCESS_EXITING, 0, 0xFFFFFFFF};
// Lengths around the sizes of the records that cross IOControl.
constexpr uint32_t kLengths[] = {0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 19, 20, 21, 27, 28, 29,
                                 47, 48, 63, 64, 65, 256};
constexpr uint32_t kBauds[] = {0, 1, 50, 110, 300, 1200, 9600, 19200, 38400, 57600, 115200,
                               230400, 460800, 921600, 1000000, 0xFFFFFFFF};

struct Call {
    plat::Handle handle = 0;
    bool mustBeRefused = false;  // the handle names no open file of this port
    uint32_t code = 0;
    std::vector<uint8_t> in;
    bool inNull = false;
    uint32_t inLength = 0;  // as told to the driver; the buffer is exactly this long
    uint32_t outLength = 0;
    std::vector<uint8_t> outSeed;  // what the output buffer holds before the call
    bool outNull = false;
    bool actualNull = false;
};

// Issues the call with buffers of exactly the lengths given.
void Issue(const Call& c) {
    std::unique_ptr<uint8_t[]> in(new uint8_t[c.inLength]());
    std::copy_n(c.in.begin(), std::min<size_t>(c.in.size(), c.inLength), in.get());
    std::unique_ptr<uint8_t[]> out(new uint8_t[c.outLength]);
    std::fill_n(out.get(), c.outLength, 0xA5);
    std::copy_n(c.outSeed.begin(), std::min<size_t>(c.outSeed.size(), c.outLength), out.get());
    auto actual = std::make_unique<uint32_t>(0xDEADBEEF);
    plat::SetLastErrorCode(0);
    const plat::Bool result =
        sim::DeviceIoControl(c.handle, c.code, c.inNull ? nullptr : in.get(), c.inLength,
                             c.outNull ? nullptr : out.get(), c.outLength,
                             c.actualNull ? nullptr : actual.get());
    const uint32_t error = plat::LastErrorCode();
    if (c.mustBeRefused) {
        Expect(result == 0 && error == plat::kErrorInvalidHandle,
               "code " + std::to_string(c.code) + " on handle " + std::to_string(c.handle) +
                   ", which is not open, gave " + std::to_string(result) + " with error " +
                   std::to_string(error) + " instead of a refusal with 6");
    }
    if (!c.actualNull && *actual != 0xDEADBEEF) {
        Expect(*actual <= c.outLength, "more bytes reported than the output holds");
    }
}

// What stays from one input to the next: handles are opened again only when an input closed
// them, and the port is put back to its settings only when an input changed them.
struct Session {
    zelfuzz::Helper helper;
    std::atomic<plat::Handle> slots[kSlots] = {};
    plat::Handle stale = 0;         // the handle closed last
    plat::Handle closingThere = 0;  // handed to the helper to close
    bool poweredDown = false;
    size_t handlesAtRest = 0;       // live handles with no slot open
    size_t handlesPerOpen = 0;
    uint64_t blocksAtRest = 0;  // blocks allocated through the platform, likewise
    uint64_t blocksPerOpen = 0;
};

class Input {
  public:
    Input(FuzzedDataProvider& in, zelfuzz::FuzzMachine& m, Session& session)
        : in_(in), m_(m), helper_(session.helper), slots_(session.slots), stale_(session.stale),
          closingThere_(session.closingThere), poweredDown_(session.poweredDown) {}

    void Run() {
        bool reopened = false;
        for (size_t i = 0; i < kSlots; ++i) {
            if (slots_[i] == 0) {
                Open(i, kInitialAccess[i]);
                reopened = true;
            }
        }
        if (reopened) ResetPort();
        for (int step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; ++step) Step();
        EndBlockedCalls();
        if (changed_) ResetPort();
        if (masked_) {
            const uint32_t none = 0;
            for (auto& slot : slots_) {
                if (slot != 0) sim::DeviceIoControl(slot, plat::IOCTL_SERIAL_SET_WAIT_MASK, &none,
                                                    sizeof none, nullptr, 0, nullptr);
            }
        }
        if (poweredDown_) {
            sim::DevicePowerUp(m_.loopbackDevice);
            poweredDown_ = false;
        }
        closingThere_ = 0;
    }

    size_t OpenSlots() const {
        size_t n = 0;
        for (const auto& slot : slots_) n += slot != 0;
        return n;
    }

  private:
    // A wait, read or write may still block on the helper: a mask change and an abort end
    // them; what is still inside after that is ended by closing every handle.
    void EndBlockedCalls() {
        if (helper_.WaitIdle(std::chrono::milliseconds(0))) return;
        const uint32_t none = 0;
        const uint32_t abort = plat::PURGE_TXABORT | plat::PURGE_RXABORT;
        for (auto& slot : slots_) {
            if (slot == 0) continue;
            sim::DeviceIoControl(slot, plat::IOCTL_SERIAL_SET_WAIT_MASK, &none, sizeof none,
                                 nullptr, 0, nullptr);
            sim::DeviceIoControl(slot, plat::IOCTL_SERIAL_PURGE, &abort, sizeof abort, nullptr, 0,
                                 nullptr);
        }
        if (helper_.WaitIdle(std::chrono::milliseconds(5))) return;
        for (size_t i = 0; i < kSlots; ++i) CloseSlot(i);
        // Closing ends every wait, read and write of the closed handles.
        Expect(helper_.WaitIdle(std::chrono::seconds(20)), "a call did not return after close");
    }

  private:
    void Open(size_t slot, uint32_t access) {
        slots_[slot] = sim::DeviceOpen(m_.loopbackPort, access, 0);
    }

    void CloseSlot(size_t slot) {
        const plat::Handle h = slots_[slot].exchange(0);
        if (h == 0) return;
        Expect(sim::DeviceClose(h) == 1, "closing an open handle failed");
        stale_ = h;
    }

    bool IsOpenSlot(plat::Handle h) const {
        if (h == 0) return false;
        if (h == closingThere_) return true;
        for (const auto& s : slots_) {
            if (s.load() == h) return true;
        }
        return false;
    }

    // What the previous input may have left: settings, time-outs, the power state.
    void ResetPort() {
        const plat::Handle owner = slots_[0];
        const plat::Handle bus = slots_[2];
        if (bus != 0) {
            uint32_t d0 = 0, got = 0;
            sim::DeviceIoControl(bus, plat::IOCTL_POWER_SET, nullptr, 0, &d0, sizeof d0, &got);
        }
        if (owner == 0) return;
        plat::Dcb dcb{};
        uint32_t got = 0;
        if (sim::DeviceIoControl(owner, plat::IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof dcb,
                                 &got)) {
            dcb.BaudRate = 115200;
            dcb.ByteSize = 8;
            dcb.Parity = plat::kNoParity;
            dcb.StopBits = plat::kOneStopBit;
            dcb.flags = plat::kDcbBinary | (plat::kDtrControlEnable << plat::kDcbDtrControlShift) |
                        (plat::kRtsControlEnable << plat::kDcbRtsControlShift);
            sim::DeviceIoControl(owner, plat::IOCTL_SERIAL_SET_DCB, &dcb, sizeof dcb, nullptr, 0,
                                 nullptr);
        }
        const plat::CommTimeouts timeouts{};
        sim::DeviceIoControl(owner, plat::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts,
                             nullptr, 0, nullptr);
    }

    // A handle to call on, and whether it certainly names no open file.
    plat::Handle PickHandle(bool* refused) {
        const uint8_t pick = in_.ConsumeIntegralInRange<uint8_t>(0, 15);
        plat::Handle h;
        if (pick < 10) {
            h = slots_[pick % kSlots];
        } else if (pick < 12) {
            h = stale_;
        } else if (pick == 12) {
            h = 0;
        } else if (pick == 13) {
            h = m_.loopbackDevice;  // a device handle, not an open file
        } else {
            h = stale_ + in_.ConsumeIntegralInRange<int32_t>(-64, 64);
        }
        *refused = !IsOpenSlot(h);
        return h;
    }

    uint32_t PickCode() {
        const uint8_t pick = in_.ConsumeIntegral<uint8_t>();
        if (pick < 160) return plat::IOCTL_SERIAL_SET_BREAK_ON + 4 * (pick % 23);
        if (pick < 230) return kSpecialCodes[pick % std::size(kSpecialCodes)];
        return in_.ConsumeIntegral<uint32_t>();
    }

    uint32_t PickLength() {
        if (in_.ConsumeIntegralInRange(0, 7) == 0) return in_.ConsumeIntegralInRange<uint32_t>(0, 300);
        return kLengths[in_.ConsumeIntegralInRange<size_t>(0, std::size(kLengths) - 1)];
    }

    // Input bytes shaped for the code most of the time, raw otherwise.
    std::vector<uint8_t> MakeIn(uint32_t code) {
        std::vector<uint8_t> bytes;
        auto put = [&bytes](const auto& record) {
            const auto* p = reinterpret_cast<const uint8_t*>(&record);
            bytes.assign(p, p + sizeof(record));
        };
        if (in_.ConsumeIntegralInRange(0, 3) == 0) {
            return in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 64));
        }
        switch (code) {
            case plat::IOCTL_SERIAL_SET_DCB: {
                plat::Dcb dcb{};
                dcb.DCBlength = in_.ConsumeBool() ? sizeof(plat::Dcb) : in_.ConsumeIntegral<uint32_t>();
                dcb.BaudRate = kBauds[in_.ConsumeIntegralInRange<size_t>(0, std::size(kBauds) - 1)];
                dcb.flags = in_.ConsumeIntegral<uint16_t>();
                dcb.XonLim = in_.ConsumeIntegralInRange<uint16_t>(0, 3000);
                dcb.XoffLim = in_.ConsumeIntegralInRange<uint16_t>(0, 3000);
                dcb.ByteSize = in_.ConsumeIntegralInRange<uint8_t>(3, 10);
                dcb.Parity = in_.ConsumeIntegralInRange<uint8_t>(0, 5);
                dcb.StopBits = in_.ConsumeIntegralInRange<uint8_t>(0, 3);
                dcb.XonChar = in_.ConsumeBool() ? 0x11 : in_.ConsumeIntegral<char>();
                dcb.XoffChar = in_.ConsumeBool() ? 0x13 : in_.ConsumeIntegral<char>();
                dcb.ErrorChar = in_.ConsumeIntegral<char>();
                dcb.EofChar = in_.ConsumeIntegral<char>();
                dcb.EvtChar = in_.ConsumeIntegral<char>();
                put(dcb);
                break;
            }
            case plat::IOCTL_SERIAL_SET_TIMEOUTS: {
                // Short or "return at once" time-outs mostly, so that reads and writes end soon.
                constexpr uint32_t kMs[] = {0, 1, 2, 5, plat::kMaxDword};
                plat::CommTimeouts t{};
                t.ReadIntervalTimeout = kMs[in_.ConsumeIntegralInRange<size_t>(0, 4)];
                t.ReadTotalTimeoutMultiplier = kMs[in_.ConsumeIntegralInRange<size_t>(0, 4)];
                t.ReadTotalTimeoutConstant = kMs[in_.ConsumeIntegralInRange<size_t>(0, 4)];
                t.WriteTotalTimeoutMultiplier = kMs[in_.ConsumeIntegralInRange<size_t>(0, 4)];
                t.WriteTotalTimeoutConstant = kMs[in_.ConsumeIntegralInRange<size_t>(0, 4)];
                put(t);
                break;
            }
            case plat::IOCTL_SERIAL_SET_WAIT_MASK:
            case plat::IOCTL_SERIAL_PURGE:
                put(in_.ConsumeBool() ? in_.ConsumeIntegralInRange<uint32_t>(0, 0x3FFF)
                                      : in_.ConsumeIntegral<uint32_t>());
                break;
            case plat::IOCTL_PROCESS_EXITING: {
                const uint32_t record[4] = {in_.ConsumeBool() ? 16u : in_.ConsumeIntegral<uint32_t>(),
                                            in_.ConsumeBool() ? 4u : in_.ConsumeIntegral<uint32_t>(),
                                            0, 0};
                put(record);
                break;
            }
            default:
                return in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 32));
        }
        return bytes;
    }

    // Getters change nothing; any other code may.
    void Note(uint32_t code) {
        switch (code) {
            case plat::IOCTL_SERIAL_GET_WAIT_MASK:
            case plat::IOCTL_SERIAL_GET_COMMSTATUS:
            case plat::IOCTL_SERIAL_GET_MODEMSTATUS:
            case plat::IOCTL_SERIAL_GET_PROPERTIES:
            case plat::IOCTL_SERIAL_GET_TIMEOUTS:
            case plat::IOCTL_SERIAL_GET_DCB:
            case plat::IOCTL_POWER_CAPABILITIES:
            case plat::IOCTL_POWER_GET:
                return;
            case plat::IOCTL_SERIAL_SET_WAIT_MASK:
            case plat::IOCTL_SERIAL_WAIT_ON_MASK:
                masked_ = true;
                return;
            default:
                changed_ = true;
        }
    }

    Call MakeCall() {
        Call c;
        c.handle = PickHandle(&c.mustBeRefused);
        c.code = PickCode();
        c.in = MakeIn(c.code);
        c.inLength = in_.ConsumeIntegralInRange(0, 3) == 0 ? PickLength()
                                                          : static_cast<uint32_t>(c.in.size());
        c.outLength = PickLength();
        if (c.code == plat::IOCTL_POWER_SET) {
            // The requested state goes in the output buffer.
            const uint32_t state = in_.ConsumeIntegralInRange<uint32_t>(0, 5);
            const auto* p = reinterpret_cast<const uint8_t*>(&state);
            c.outSeed.assign(p, p + sizeof state);
        }
        const uint8_t nulls = in_.ConsumeIntegral<uint8_t>();
        c.inNull = (nulls & 0x07) == 0;
        c.outNull = (nulls & 0x38) == 0;
        c.actualNull = (nulls & 0xC0) == 0;
        return c;
    }

    void Step() {
        switch (in_.ConsumeIntegralInRange(0, 15)) {
            default: {  // IOControl, here or on the helper
                Call c = MakeCall();
                Note(c.code);
                const bool blocks = c.code == plat::IOCTL_SERIAL_WAIT_ON_MASK;
                if (blocks || in_.ConsumeIntegralInRange(0, 3) == 0) {
                    c.mustBeRefused = false;  // a reopen may give the value a file meanwhile
                    if (helper_.TryRun([c] { Issue(c); })) break;
                    if (blocks) break;  // the helper is busy: only it may block
                }
                Issue(c);
                break;
            }
            case 10: {  // close, here or while the helper's call is inside the driver
                const size_t slot = in_.ConsumeIntegralInRange<size_t>(0, kSlots - 1);
                if (in_.ConsumeBool()) {
                    const plat::Handle h = slots_[slot].exchange(0);
                    if (h != 0 && helper_.TryRun([h] { sim::DeviceClose(h); })) {
                        closingThere_ = h;  // open until the helper gets to it
                    } else if (h != 0) {
                        Expect(sim::DeviceClose(h) == 1, "closing an open handle failed");
                    }
                    if (h != 0) stale_ = h;
                } else {
                    CloseSlot(slot);
                }
                break;
            }
            case 11: {  // reopen a closed slot with some access
                const size_t slot = in_.ConsumeIntegralInRange<size_t>(0, kSlots - 1);
                const uint32_t access =
                    in_.ConsumeIntegralInRange(0, 7) == 0
                        ? in_.ConsumeIntegral<uint32_t>()
                        : kReopenAccess[in_.ConsumeIntegralInRange<size_t>(0, std::size(kReopenAccess) - 1)];
                if (slots_[slot] == 0) Open(slot, access);
                break;
            }
            case 12: {  // the adapter family's IOControl serves nothing
                Call c = MakeCall();
                std::vector<uint8_t> out(c.outLength, 0x5A);
                uint32_t actual = 0xDEADBEEF;
                const plat::Bool result = m_.adapterIoControl(
                    m_.adapterContext, c.code, c.inNull ? nullptr : c.in.data(),
                    static_cast<uint32_t>(c.in.size()), c.outNull ? nullptr : out.data(),
                    c.outLength, c.actualNull ? nullptr : &actual);
                Expect(result == 0, "the adapter's IOControl served a code");
                Expect(actual == 0xDEADBEEF &&
                           std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0x5A; }),
                       "the adapter's IOControl wrote its output");
                break;
            }
            case 13: {  // a write or read on the helper (they block up to their time-outs)
                const plat::Handle h = slots_[in_.ConsumeIntegralInRange<size_t>(0, kSlots - 1)];
                std::vector<uint8_t> data = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 24));
                const bool write = in_.ConsumeBool();
                helper_.TryRun([h, data, write] {
                    std::vector<uint8_t> buffer = data;
                    uint32_t done = 0;
                    if (write) {
                        sim::DeviceWrite(h, buffer.data(), static_cast<uint32_t>(buffer.size()), &done);
                    } else {
                        sim::DeviceRead(h, buffer.data(), static_cast<uint32_t>(buffer.size()), &done);
                    }
                    Expect(done <= buffer.size(), "more bytes moved than asked for");
                });
                break;
            }
            case 14:  // the device manager powers the port down or up
                if (poweredDown_) {
                    sim::DevicePowerUp(m_.loopbackDevice);
                } else {
                    sim::DevicePowerDown(m_.loopbackDevice);
                }
                poweredDown_ = !poweredDown_;
                break;
        }
    }

    FuzzedDataProvider& in_;
    zelfuzz::FuzzMachine& m_;
    zelfuzz::Helper& helper_;
    std::atomic<plat::Handle> (&slots_)[kSlots];
    plat::Handle& stale_;
    plat::Handle& closingThere_;
    bool& poweredDown_;
    bool changed_ = false;  // a call may have changed the port's settings or state
    bool masked_ = false;   // a call may have set a wait mask
};

Session* gSession = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelfuzz::Machine();
    static Session session;
    session.handlesAtRest = sim::LiveHandleCount();
    session.blocksAtRest = sim::LiveAllocations().blocks;
    // An open file is its own handle and whatever the driver keeps per open (its event).
    const plat::Handle probe = sim::DeviceOpen(zelfuzz::Machine().loopbackPort, 0, 0);
    session.handlesPerOpen = sim::LiveHandleCount() - session.handlesAtRest;
    session.blocksPerOpen = sim::LiveAllocations().blocks - session.blocksAtRest;
    sim::DeviceClose(probe);
    gSession = &session;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Input input(in, zelfuzz::Machine(), *gSession);
    input.Run();
    // Each open slot is one handle; everything else an input made is gone.
    const size_t open = input.OpenSlots();
    zelfuzz::ExpectHandleCount(kTarget, gSession->handlesAtRest + gSession->handlesPerOpen * open);
    const uint64_t blocks = sim::LiveAllocations().blocks;
    Expect(blocks == gSession->blocksAtRest + gSession->blocksPerOpen * open,
           std::to_string(blocks) + " blocks allocated through the platform, expected " +
               std::to_string(gSession->blocksAtRest + gSession->blocksPerOpen * open));
    return 0;
}
