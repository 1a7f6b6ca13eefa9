// Everything at once on one port: readers, writers, control requests, purges, comm-event
// waits and handles opening and closing, while the fake port raises interrupts from its own
// thread. Every byte is accounted for and the lock-order checker stays silent.
#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "tests/port/port_fixture.h"

namespace zel::test {
namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Matches `read` against `stream` as a series of contiguous runs; returns the number of gaps
// between runs, or -1 when some run is found nowhere after the previous one.
int CountGaps(const std::vector<uint8_t>& stream, const std::vector<uint8_t>& read) {
    size_t pos = 0;
    int gaps = 0;
    size_t i = 0;
    while (i < read.size()) {
        if (pos < stream.size() && stream[pos] == read[i]) {
            ++pos;
            ++i;
            continue;
        }
        // Realign on the next place where the following bytes match as well.
        const size_t k = std::min<size_t>(16, read.size() - i);
        auto it = std::search(stream.begin() + static_cast<std::ptrdiff_t>(pos), stream.end(),
                              read.begin() + static_cast<std::ptrdiff_t>(i),
                              read.begin() + static_cast<std::ptrdiff_t>(i + k));
        if (it == stream.end()) return -1;
        pos = static_cast<size_t>(it - stream.begin());
        ++gaps;
    }
    return gaps;
}

class ConcurrencyTest : public PortTest {};

TEST_F(ConcurrencyTest, EveryByteIsAccountedForAndNoLockOrderIsInverted) {
    const uint64_t lockReportsBefore = sim::LockOrderReportCount();
    OpenHandle* owner = OpenOwner();
    SetTimeouts(owner, plat::kMaxDword, 0, 20, 0, 40);
    port->SetDrainPerTick(48);

    constexpr size_t kRxBytes = 96 * 1024;
    constexpr size_t kTxBytes = 96 * 1024;
    const std::vector<uint8_t> rxData = RandomBytes(kRxBytes, 11);
    const std::vector<uint8_t> txData = RandomBytes(kTxBytes, 23);

    std::atomic<bool> injecting{true};
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> rxClearPurges{0};
    std::atomic<uint32_t> waitsEnded{0};
    std::atomic<uint32_t> handleCycles{0};

    std::vector<uint8_t> readStream;
    std::thread reader([&] {
        std::vector<uint8_t> buf(700);
        while (!stop) {
            const uint32_t n = Read(owner, buf.data(), static_cast<uint32_t>(buf.size()));
            ASSERT_NE(n, plat::kMaxDword);
            readStream.insert(readStream.end(), buf.begin(), buf.begin() + n);
        }
    });

    std::vector<uint8_t> expectedAccepted;
    std::thread writer([&] {
        std::mt19937 rng(5);
        size_t offset = 0;
        while (offset < kTxBytes) {
            const uint32_t len = std::min<uint32_t>(1 + rng() % 900, kTxBytes - offset);
            const uint32_t n = Write(owner, txData.data() + offset, len);
            ASSERT_LE(n, len);
            expectedAccepted.insert(expectedAccepted.end(), txData.begin() + offset,
                                    txData.begin() + offset + n);
            offset += len;
        }
    });

    std::thread controller([&] {
        std::mt19937 rng(7);
        while (!stop) {
            switch (rng() % 6) {
                case 0:
                    CommStatus(owner);
                    break;
                case 1: {
                    plat::Dcb dcb = GetDcb(owner);
                    dcb.EvtChar = static_cast<char>(rng());
                    EXPECT_EQ(SetDcb(owner, dcb), 1);
                    break;
                }
                case 2:
                    if (rng() % 2) {
                        SetTimeouts(owner, plat::kMaxDword, 0, 20, 0, 40);
                    } else {
                        SetTimeouts(owner, 5, 1, 10, 1, 10);
                    }
                    break;
                case 3: {
                    uint32_t modem = 0;
                    uint32_t actual = 0;
                    Ioctl(owner, plat::IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, 4,
                          &actual);
                    break;
                }
                case 4:
                    port->SetModemLines(rng() & (plat::MS_CTS_ON | plat::MS_DSR_ON |
                                                 plat::MS_RING_ON | plat::MS_RLSD_ON));
                    break;
                case 5:
                    port->InjectLineStatus(plat::CE_FRAME, rng() % 4 == 0);
                    break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    std::thread purger([&] {
        std::mt19937 rng(9);
        while (!stop) {
            uint32_t flags = rng() & (plat::PURGE_TXABORT | plat::PURGE_RXABORT |
                                      plat::PURGE_TXCLEAR | plat::PURGE_RXCLEAR);
            if (!injecting) flags &= ~plat::PURGE_RXCLEAR;
            if (flags & plat::PURGE_RXCLEAR) ++rxClearPurges;
            Purge(owner, flags);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });

    // Monitor handles that wait for events and are closed as the device manager closes them:
    // PreClose from another thread ends the wait, Close once no call is inside.
    auto monitorLoop = [&](uint32_t seed) {
        std::mt19937 rng(seed);
        while (!stop) {
            OpenHandle* m = Open(device, 0, 0);
            ASSERT_NE(m, nullptr);
            SetWaitMask(m, plat::EV_RXCHAR | plat::EV_TXEMPTY | plat::EV_CTS | plat::EV_ERR);
            std::atomic<bool> waiting{true};
            std::thread closer([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
                PreClose(m);
                waiting = false;
            });
            for (int i = 0; i < 50; ++i) {
                uint32_t seen = 0;
                uint32_t actual = 0;
                if (!Ioctl(m, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &seen, 4, &actual)) {
                    break;
                }
                ++waitsEnded;
                if (!waiting) break;
            }
            closer.join();
            EXPECT_EQ(Close(m), 1);
            ++handleCycles;
        }
    };
    std::thread monitorA(monitorLoop, 1);
    std::thread monitorB(monitorLoop, 2);

    // Opens and closes that only change the list under the event walks.
    std::thread churn([&] {
        while (!stop) {
            OpenHandle* m = Open(device, 0, 0);
            ASSERT_NE(m, nullptr);
            SetWaitMask(m, plat::EV_RXCHAR);
            PreClose(m);
            EXPECT_EQ(Close(m), 1);
            ++handleCycles;
        }
    });

    // The wire side of the receiver.
    size_t injected = 0;
    while (injected < kRxBytes) {
        const size_t n = std::min<size_t>(257, kRxBytes - injected);
        port->InjectReceive(rxData.data() + injected, n);
        injected += n;
        std::this_thread::sleep_for(std::chrono::microseconds(700));
    }
    injecting = false;
    writer.join();
    ASSERT_TRUE(WaitUntil([&] { return port->ReceiveIdle(); }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    reader.join();
    controller.join();
    purger.join();
    monitorA.join();
    monitorB.join();
    churn.join();

    // Whatever is still in the ring.
    const std::vector<uint8_t> rest = ReadNow(owner, 4096);
    readStream.insert(readStream.end(), rest.begin(), rest.end());

    // Transmit side: the writes' counts are exactly what the hardware took, in order.
    const std::vector<uint8_t> accepted = port->Accepted();
    EXPECT_EQ(accepted.size(), expectedAccepted.size());
    EXPECT_TRUE(accepted == expectedAccepted);
    ASSERT_TRUE(WaitUntil([&] { return port->TransmitFifoLevel() == 0; }));
    EXPECT_EQ(port->Wire().size() + port->txCleared.load(), accepted.size());

    // Receive side: every injected byte reached the ring, was lost to a full ring, or was
    // cleared from the FIFO; what the reader got are runs of the ring's stream in order, with
    // gaps only where receive purges emptied the ring.
    const std::vector<uint8_t> ringStream = port->RingStream();
    EXPECT_EQ(ringStream.size() + port->foreignReceiveBytes.load() + port->rxCleared.load(),
              kRxBytes);
    EXPECT_LE(readStream.size(), ringStream.size());
    const int gaps = CountGaps(ringStream, readStream);
    EXPECT_GE(gaps, 0) << "bytes read that the ring never held, or out of order";
    EXPECT_LE(gaps, static_cast<int>(rxClearPurges.load()));
    if (rxClearPurges.load() == 0) {
        EXPECT_EQ(readStream.size(), ringStream.size());
    }
    EXPECT_EQ(RingCount(), 0u);

    RecordProperty("rxClearPurges", static_cast<int>(rxClearPurges.load()));
    RecordProperty("handleCycles", static_cast<int>(handleCycles.load()));
    RecordProperty("waitsEnded", static_cast<int>(waitsEnded.load()));
    RecordProperty("readBytes", static_cast<int>(readStream.size()));
    RecordProperty("lostToFullRing", static_cast<int>(port->foreignReceiveBytes.load()));
    EXPECT_GT(waitsEnded.load(), 0u);
    EXPECT_GT(handleCycles.load(), 10u);
    EXPECT_EQ(sim::LockOrderReportCount(), lockReportsBefore);
    CloseHandle(owner);
}

}  // namespace
}  // namespace zel::test
