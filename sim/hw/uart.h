// The simulated 16550 UART with 64-byte FIFOs, as one bus target covering one UART's window.
//
// Window (offsets from the UART's base):
//   k x stride, k = 0..7   the eight registers (sim/hw/uart_regs.h); DLL/DLM while LCR bit 7
//   10, 11                 transmit / receive FIFO level (bytes in the FIFO), read only
//   256 .. 319             FIFO data window: an 8-bit read pops one received byte, a 32-bit read
//                          pops four (the first in bits 0-7); writes push likewise
//   anything else          reads 0, writes are ignored
// A pop from an empty receive FIFO reads 0; a push into a full transmit FIFO is lost. Writes to
// LSR and MSR are ignored. The transmit level counts the FIFO only, not the character being
// shifted out.
//
// Behaviour, as a 16550 has it:
// - IIR reports the highest-priority pending source: line status (0x6: overrun, parity,
//   framing or break latched; cleared by reading LSR); received data (0x4: receive level at or
//   above the FCR trigger 1/4/8/14, or at least one byte with the FIFOs off); character time-out
//   (0xC: data waiting and nothing received or read for four character times; cleared by a
//   read from the FIFO); transmitter empty (0x2: set when the transmit FIFO becomes empty or when
//   its enable goes on while it is empty; cleared by reading IIR while it is the source or by
//   writing data); modem status (0x0: a change bit in MSR; cleared by reading MSR). Bit 0 is 1
//   when nothing is pending; bits 7..6 read 11 while the FIFOs are on. A source counts only
//   while its IER enable is set. The interrupt output is "IIR bit 0 reads 0" (OUT2 does not gate
//   it; the card decides what to do with it).
// - LSR: DR; OE (an arriving byte found the FIFO full and was lost); PE, FE and BI of the byte at
//   the top of the FIFO, latched when it gets there; bits 1-4 are cleared by reading LSR; THRE
//   (transmit FIFO empty); TEMT (FIFO and shifter empty); bit 7 (FIFOs on and an erroneous byte
//   entered the FIFO; cleared by an LSR read that finds none left).
// - FCR: enabling or disabling the FIFOs empties both; with bit 0 clear the other bits are not
//   taken; bits 1 and 2 empty the receive / transmit FIFO; bits 7..6 select the trigger.
//   With the FIFOs off, each direction holds one byte (holding register).
// - MSR: CTS, DSR, RI, DCD from the wire; change bits for CTS, DSR, DCD and the trailing edge of
//   RI, cleared by reading MSR. MCR bit 4 loops the UART on itself: TX to RX, RTS to CTS, DTR to
//   DSR, OUT1 to RI, OUT2 to DCD; the wire then sees an idle line and DTR / RTS off, and what
//   arrives from the wire is lost.
// - Power: entering D3 or D4 (SetPower) puts every register back to its power-on value (see
//   uart_regs.h; divisor 0) and empties the FIFOs; while in D3/D4 the line does not run.
//
// The line: clock / (16 x divisor) baud, frame from LCR. A byte written while the shifter is
// idle starts at once; each following one starts when the one before has ended, one character
// time later (start, data, parity and stop bits). What the wire does with the characters is in
// sim/hw/wire.h.
//
// Time: the model's state moves only with time and register accesses. The machine's timing
// thread (sim/hw/line_clock.h, one for all UARTs) advances every UART at the next instant when
// something observable can change (a FIFO empties, a trigger level is reached, a time-out falls
// due, a character reaches an external endpoint), batching fast lines, and it alone raises and
// drops the interrupt output. A register access first brings the UART up to the current time
// (exact instants, computed from when each character started), then acts. UARTs joined by a
// null-modem cable are advanced together, so a receiver always sees what its far transmitter has
// sent up to the moment of the access.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/bus/sim_bus.h"
#include "sim/hw/line_clock.h"
#include "sim/hw/uart_regs.h"
#include "sim/hw/wire.h"

namespace sim {

struct UartConfig {
    std::string name = "uart";
    uint32_t clockHz = 1843200;  // input clock
    // Bytes between registers: 1 .. 32, and no register may fall on the level registers.
    uint32_t stride = 1;
    // Character times are multiplied by this (0.01 runs the line 100 times faster than real time).
    double charTimeScale = 1.0;
};

struct UartStats {
    uint64_t charsSent = 0;      // characters that left the shifter onto the line
    uint64_t charsReceived = 0;  // characters stored in the receive FIFO
    uint64_t overruns = 0;       // characters lost to a full receive FIFO
    uint64_t breaksSent = 0;
};

class Uart : public BusTarget, public std::enable_shared_from_this<Uart>, private LineClock::Client {
public:
    // Null for an invalid configuration (stride, clock or scale out of range).
    static std::shared_ptr<Uart> Create(const UartConfig& config = {});
    ~Uart() override;
    Uart(const Uart&) = delete;
    Uart& operator=(const Uart&) = delete;

    const UartConfig& Config() const { return config_; }

    // BusTarget: the UART's 512-byte window.
    std::string Name() const override;
    uint8_t Read8(uint32_t offset) override;
    void Write8(uint32_t offset, uint8_t value) override;
    uint32_t Read32(uint32_t offset) override;
    void Write32(uint32_t offset, uint32_t value) override;
    // Any offset: the UART's power state. D3 and D4 lose the registers.
    bool SetPower(uint32_t offset, uint32_t state) override;

    // The interrupt output. The callback is called on the timing thread, with no model lock
    // held, once per change of the output; setting it re-delivers the current level (when
    // asserted). It must not call SetInterruptCallback itself.
    using InterruptCallback = std::function<void(bool asserted)>;
    void SetInterruptCallback(InterruptCallback callback);
    // The level last delivered by the timing thread.
    bool InterruptOutput() const { return irqDelivered_.load(); }
    // Whether an enabled source is pending now (what IIR bit 0 would say, without side effects).
    bool InterruptPending();

    // Observation hooks (no side effects on the registers).
    uint8_t ModemControl();        // MCR
    ControlLines WireControlLines();  // DTR / RTS as driven onto the wire
    ModemLines ModemInputs();      // CTS / DSR / RI / DCD as MSR sees them
    uint32_t PowerState();
    LineFrame Frame();             // from LCR and the divisor
    LineClock::Ps CharacterTime();  // picoseconds, scaled; 0 while the line does not run
    UartStats Stats();
    // When the most recent byte entered the receive FIFO (its last stop bit), for latency
    // measurements; the clock's origin before any.
    std::chrono::steady_clock::time_point LastReceiveTime();

    void SetCharTimeScale(double scale);

private:
    friend class Wire;
    friend class ExternalWire;
    friend std::unique_ptr<Wire> ConnectLoopbackPlug(Uart&);
    friend std::unique_ptr<Wire> ConnectNullModem(Uart&, Uart&);
    friend std::unique_ptr<ExternalWire> ConnectEndpoint(Uart&, std::shared_ptr<LineEndpoint>);

    using Ps = LineClock::Ps;
    enum class LinkKind { None, LoopbackPlug, NullModem, External };
    struct Link {
        LinkKind kind = LinkKind::None;
        Uart* peer = nullptr;  // NullModem
        std::shared_ptr<LineEndpoint> endpoint;  // External
        uint64_t id = 0;  // the wire's identity
    };
    struct RxEntry {
        uint8_t data;
        uint8_t errors;  // kLsrParityError | kLsrFramingError | kLsrBreak
    };
    template <typename T>
    struct Fifo {
        T items[uart::kFifoDepth];
        uint32_t head = 0;
        uint32_t count = 0;
        bool empty() const { return count == 0; }
        uint32_t size() const { return count; }
        const T& front() const { return items[head]; }
        void push(const T& v) { items[(head + count++) % uart::kFifoDepth] = v; }
        T pop() {
            T v = items[head];
            head = (head + 1) % uart::kFifoDepth;
            --count;
            return v;
        }
        void clear() { head = count = 0; }
    };

    explicit Uart(const UartConfig& config);

    // Runs fn(now, peer) with this UART (and its null-modem peer) locked and brought up to now,
    // then recomputes interrupts and the next wake-up of both.
    template <typename F>
    void WithLine(F&& fn, bool serving = false);
    Ps Serve(Ps now) override;
    void DeliverInterrupt();

    // Wiring, under the wiring mutex. LinkDown with id 0 takes down whatever wire is there.
    static bool LinkUp(Uart& a, Uart* b, LinkKind kind, std::shared_ptr<LineEndpoint> endpoint,
                       uint64_t id);
    static void LinkDown(Uart& a, uint64_t id);
    // The far end of the external wire `id` (nothing happens when the UART is on another wire).
    void ExternalSend(uint64_t id, std::vector<LineSymbol> symbols);
    void ExternalSetLines(uint64_t id, ModemLines lines);
    ControlLines ExternalControl(uint64_t id);
    size_t ExternalPending(uint64_t id);

    // Everything below runs with mu_ held (and the peer's, when it touches the peer).
    void AdvanceAllLocked(Ps now, Uart* peer);
    void AdvanceTxLocked(Ps now);
    void RxAdvanceLocked(Ps now);
    void LoadShifterLocked(Ps now);
    void EmitLocked(const LineSymbol& symbol);
    void ReceiveLocked(const LineSymbol& symbol);
    void CheckTimeoutLocked(Ps now);
    RxEntry EvaluateLocked(const LineSymbol& symbol) const;
    uint8_t ReadLocked(uint32_t offset, Ps now);
    void WriteLocked(uint32_t offset, uint8_t value, Ps now, Uart* peer);
    uint8_t PopRxLocked(Ps now);
    void PushTxLocked(uint8_t value, Ps now);
    uint8_t ReadIirLocked();
    uint8_t ReadLsrLocked();
    uint8_t ReadMsrLocked();
    void WriteFcrLocked(uint8_t value);
    void WriteLcrLocked(uint8_t value, Ps now);
    void SetDivisorLocked(uint16_t divisor, Ps now);
    void ClearRxLocked();
    void ClearTxLocked();
    void ResetRegistersLocked(Ps now, Uart* peer);
    void PropagateLinesLocked(Uart* peer);
    void UpdateModemInputsLocked();
    void UpdateCharTimeLocked();
    uint8_t ComputeIidLocked() const;
    void FinishLocked(Ps now, Uart* peer, bool serving);
    void RescheduleLocked(Ps now);
    Ps NextEventLocked(Ps now) const;
    Ps RxNextEventLocked() const;
    // The characters on their way to this receiver, as far as they are known now.
    const Uart* SourceLocked() const;  // the transmitter feeding this receiver, or null
    size_t TxUpcomingLocked() const;
    LineSymbol TxUpcomingAtLocked(size_t i) const;
    bool Running() const;
    uint32_t Capacity() const { return fifoOn_ ? uart::kFifoDepth : 1; }
    uint32_t TriggerLevel() const;
    LineFrame FrameLocked() const;
    ControlLines WireOutputsLocked() const;
    int RegisterAt(uint32_t offset) const;

    // Fixed configuration.
    const UartConfig config_;

    // Wiring: link_ changes only with the wiring mutex, linkMutex_ and mu_ all held, so either
    // of the last two is enough to read it. linkMutex_ is taken before mu_.
    std::mutex linkMutex_;
    std::mutex mu_;
    Link link_;

    // Everything below is guarded by mu_.
    double scale_;
    uint32_t power_ = 0;
    uint8_t ier_ = uart::kResetIer;
    uint8_t lcr_ = uart::kResetLcr;
    uint8_t mcr_ = uart::kResetMcr;
    uint8_t fcr_ = 0;
    uint8_t scr_ = uart::kResetScr;
    uint16_t divisor_ = uart::kResetDivisor;
    bool fifoOn_ = false;
    Ps charTime_ = 0;  // 0 while the divisor is 0

    // Transmitter.
    Fifo<uint8_t> txFifo_;
    bool shifting_ = false;
    uint8_t shiftData_ = 0;
    LineFrame shiftFrame_;
    Ps shiftStart_ = 0;
    Ps shiftEnd_ = 0;
    bool thrPending_ = false;
    bool breakOn_ = false;
    bool breakSent_ = false;
    Ps breakStart_ = 0;
    Ps breakTime_ = 0;  // character time when the break began
    Ps lastBreakEnd_ = -LineClock::kNever;

    // Receiver.
    Fifo<RxEntry> rxFifo_;
    uint8_t lsrLatch_ = 0;  // OE, PE, FE, BI
    bool fifoErrorLatch_ = false;
    uint32_t rxErrors_ = 0;  // erroneous bytes in the FIFO
    bool timeoutPending_ = false;
    Ps rxActivity_ = 0;  // last arrival or read
    Ps lastRxPush_ = 0;
    std::deque<LineSymbol> inbound_;  // from an external endpoint, with arrival instants
    Ps inboundTail_ = 0;

    // Modem lines (MSR bit positions).
    uint8_t wireIn_ = 0;
    uint8_t msrLines_ = 0;
    uint8_t msrDelta_ = 0;

    // To an external endpoint, delivered by the timing thread.
    std::vector<LineSymbol> outbox_;
    ControlLines wireControl_;
    bool controlChanged_ = false;

    UartStats stats_;
    bool changed_ = false;  // state changed since the last recompute
    Ps scheduled_ = LineClock::kNever;  // earliest wake-up asked for since the last serve
    Ps advancedTo_ = 0;

    // The interrupt output: wanted (computed under mu_) and delivered (timing thread).
    std::atomic<bool> irqWanted_{false};
    std::atomic<bool> irqDelivered_{false};
    std::mutex callbackMutex_;
    InterruptCallback callback_;  // guarded by callbackMutex_
};

}  // namespace sim
