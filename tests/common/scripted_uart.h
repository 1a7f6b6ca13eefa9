// A scripted stand-in for one UART's 512-byte window, for tests where the order of register
// accesses is the behaviour (divisor latch, save and restore) or where a test needs readings a
// working UART never gives (an interrupt that never clears, jittering FIFO levels).
//
// Registers 0..7 sit at the stride; LCR bit 7 switches offsets 0 and 1 to the divisor latch.
// Written registers read back what was written, except IIR (offset 2 reads from its script),
// LSR and MSR (scripted). Every access is logged in order.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/bus/sim_bus.h"

namespace zeltest {

class ScriptedUart : public sim::BusTarget {
  public:
    enum class Reg {
        Data,
        Ier,
        IirFcr,
        Lcr,
        Mcr,
        Lsr,
        Msr,
        Scr,
        Dll,
        Dlm,
        TxLevel,
        RxLevel,
        Fifo,
        Other
    };
    struct Access {
        bool write;
        Reg reg;
        uint8_t width;   // 1 or 4
        uint32_t value;  // for a 32-bit FIFO access, the four bytes, first lowest
        bool operator==(const Access&) const = default;
    };

    // IIR reads "nothing pending" until a test scripts something else.
    explicit ScriptedUart(uint32_t stride = 1);

    // Readings. A queued value is returned once; when the queue is empty the steady value is.
    void SetSteady(Reg reg, uint8_t value);
    void Queue(Reg reg, std::vector<uint8_t> values);
    // Bytes a FIFO window read returns (8-bit reads pop one, 32-bit reads pop four).
    void QueueReceived(const std::vector<uint8_t>& bytes);
    // Bytes written into the FIFO window (either width), in order.
    std::vector<uint8_t> Transmitted() const;

    // Registers as last written (LCR, IER, MCR, FCR, divisor latch halves, THR).
    uint8_t Written(Reg reg) const;

    // Makes every write to one register raise a processor fault (as an access to a vanished
    // window would).
    void FaultOnWrite(Reg reg);

    std::vector<Access> Log() const;
    void ClearLog();
    size_t CountOf(bool write, Reg reg) const;
    // Places a marker in the log (a test's own event between accesses, e.g. an interrupt mask).
    void Mark(uint32_t value);

    // sim::BusTarget.
    std::string Name() const override { return "scripted uart"; }
    uint8_t Read8(uint32_t offset) override;
    void Write8(uint32_t offset, uint8_t value) override;
    uint32_t Read32(uint32_t offset) override;
    void Write32(uint32_t offset, uint32_t value) override;

    static constexpr Reg kMarker = Reg::Other;

  private:
    Reg Decode(uint32_t offset) const;  // with mu_ held
    uint8_t ReadLocked(Reg reg);

    mutable std::mutex mu_;
    const uint32_t stride_;
    uint8_t written_[static_cast<int>(Reg::Other) + 1] = {};
    uint8_t steady_[static_cast<int>(Reg::Other) + 1] = {};
    std::deque<uint8_t> queued_[static_cast<int>(Reg::Other) + 1];
    std::deque<uint8_t> received_;
    std::vector<uint8_t> transmitted_;
    std::vector<Access> log_;
    bool faultOnWrite_[static_cast<int>(Reg::Other) + 1] = {};
};

}  // namespace zeltest
