#include "sim/hw/uart.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace sim {

using namespace uart;
using Ps = LineClock::Ps;

namespace {

constexpr uint32_t kMaxStride = 32;
constexpr double kSpeedTolerance = 0.02;
constexpr uint8_t kTriggerLevels[4] = {1, 4, 8, 14};

Parity ParityOf(uint8_t lcr) {
    if (!(lcr & kLcrParityEnable)) return Parity::None;
    switch (lcr & kLcrParityMask) {
        case kLcrParityOdd:
            return Parity::Odd;
        case kLcrParityEven:
            return Parity::Even;
        case kLcrParityMark:
            return Parity::Mark;
        default:
            return Parity::Space;
    }
}

// The level of the parity bit a transmitter sends for data.
bool ParityBit(uint8_t data, const LineFrame& f) {
    bool odd = std::popcount(static_cast<unsigned>(data & ((1u << f.dataBits) - 1))) & 1;
    switch (f.parity) {
        case Parity::Odd:
            return !odd;
        case Parity::Even:
            return odd;
        case Parity::Mark:
            return true;
        default:
            return false;
    }
}

// What a receiver framed as rx samples at its own bit centres from a character sent as tx:
// the transmitted waveform (start bit low, data least significant bit first, parity, stop bits
// high, idle high after them).
uint8_t SampleGarbled(uint8_t data, const LineFrame& tx, const LineFrame& rx) {
    double ratio = tx.Baud() / rx.Baud();
    uint8_t value = 0;
    for (uint32_t i = 0; i < rx.dataBits; ++i) {
        auto bit = static_cast<uint32_t>((1.5 + i) * ratio);  // index into the tx frame
        bool level = true;
        if (bit == 0) {
            level = false;
        } else if (bit <= tx.dataBits) {
            level = (data >> (bit - 1)) & 1;
        } else if (bit == tx.dataBits + 1u && tx.parity != Parity::None) {
            level = ParityBit(data, tx);
        }
        if (level) value |= uint8_t(1u << i);
    }
    return value;
}

bool SameSpeed(const LineFrame& a, const LineFrame& b) {
    double ra = a.Baud();
    double rb = b.Baud();
    return rb > 0 && std::fabs(ra - rb) <= kSpeedTolerance * rb;
}

uint8_t LinesFromOutputs(ControlLines out) {
    // What a loopback plug or a null-modem cable makes of DTR / RTS at the other side.
    return (out.rts ? kMsrCts : 0) | (out.dtr ? uint8_t(kMsrDsr | kMsrDcd) : 0);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation and destruction.

std::shared_ptr<Uart> Uart::Create(const UartConfig& config) {
    if (config.stride == 0 || config.stride > kMaxStride || config.clockHz == 0 ||
        !(config.charTimeScale > 0)) {
        return nullptr;
    }
    for (uint32_t k = 0; k < kRegisterCount; ++k) {
        uint32_t at = k * config.stride;
        if (at == kTxLevelOffset || at == kRxLevelOffset || at >= kFifoWindowOffset) return nullptr;
    }
    std::shared_ptr<Uart> uart(new Uart(config));
    LineClock::Shared().Add(uart.get());
    return uart;
}

Uart::Uart(const UartConfig& config) : config_(config), scale_(config.charTimeScale) {}

Uart::~Uart() {
    // The mirror image of Create and of the wiring: no more serving, then off the wire.
    LineClock::Shared().Remove(this);
    LinkDown(*this, 0);
}

std::string Uart::Name() const { return "uart " + config_.name; }

// ---------------------------------------------------------------------------------------------
// Locking and time.

namespace {

// Locks one UART's model lock, or two in address order.
class PairLock {
public:
    PairLock(std::mutex& a, std::mutex* b) : first_(&a), second_(b) {
        if (second_ && second_ < first_) std::swap(first_, second_);
        first_->lock();
        if (second_) second_->lock();
    }
    ~PairLock() {
        if (second_) second_->unlock();
        first_->unlock();
    }
    PairLock(const PairLock&) = delete;
    PairLock& operator=(const PairLock&) = delete;

private:
    std::mutex* first_;
    std::mutex* second_;
};

}  // namespace

template <typename F>
void Uart::WithLine(F&& fn, bool serving) {
    std::lock_guard link(linkMutex_);
    Uart* peer = link_.kind == LinkKind::NullModem ? link_.peer : nullptr;
    PairLock pair(mu_, peer ? &peer->mu_ : nullptr);
    Ps now = LineClock::Now();
    AdvanceAllLocked(now, peer);
    now = advancedTo_;
    fn(now, peer);
    FinishLocked(now, peer, serving);
}

void Uart::AdvanceAllLocked(Ps now, Uart* peer) {
    now = std::max(now, advancedTo_);
    if (peer) now = std::max(now, peer->advancedTo_);
    // Transmitters first, so that each receiver has what was sent up to now.
    AdvanceTxLocked(now);
    if (peer) peer->AdvanceTxLocked(now);
    RxAdvanceLocked(now);
    if (peer) peer->RxAdvanceLocked(now);
    advancedTo_ = now;
    if (peer) peer->advancedTo_ = now;
}

void Uart::FinishLocked(Ps now, Uart* peer, bool serving) {
    // Either end's change may move the other's next event: what one transmits, the other
    // receives.
    bool changed = changed_ || (peer && peer->changed_);
    if (serving) {
        changed_ = false;  // the serve has recomputed this UART itself
    } else if (changed) {
        RescheduleLocked(now);
    }
    if (changed && peer) peer->RescheduleLocked(now);
}

void Uart::RescheduleLocked(Ps now) {
    changed_ = false;
    irqWanted_.store(ComputeIidLocked() != kIirNonePending);
    Ps next = NextEventLocked(now);
    if (irqWanted_.load() != irqDelivered_.load() || !outbox_.empty() || controlChanged_) {
        next = now;
    }
    if (next < scheduled_) {
        scheduled_ = next;
        LineClock::Shared().Schedule(this, next);
    }
}

Ps Uart::Serve(Ps) {
    Ps next = LineClock::kNever;
    std::vector<LineSymbol> out;
    bool controlChanged = false;
    ControlLines control;
    std::shared_ptr<LineEndpoint> endpoint;
    WithLine(
        [&](Ps now, Uart*) {
            irqWanted_.store(ComputeIidLocked() != kIirNonePending);
            next = NextEventLocked(now);
            scheduled_ = next;
            if (!outbox_.empty() || controlChanged_) {
                endpoint = link_.endpoint;
                out.swap(outbox_);
                controlChanged = controlChanged_;
                control = wireControl_;
                controlChanged_ = false;
            }
        },
        true);
    if (endpoint) {
        if (!out.empty()) endpoint->OnTransmit(out);
        if (controlChanged) endpoint->OnControlLines(control);
    }
    DeliverInterrupt();
    return next;
}

void Uart::DeliverInterrupt() {
    std::lock_guard lock(callbackMutex_);
    for (;;) {
        bool wanted = irqWanted_.load();
        if (wanted == irqDelivered_.load()) return;
        irqDelivered_.store(wanted);
        if (callback_) callback_(wanted);
    }
}

void Uart::SetInterruptCallback(InterruptCallback callback) {
    {
        std::lock_guard lock(callbackMutex_);
        callback_ = std::move(callback);
        irqDelivered_.store(false);
    }
    LineClock::Shared().Schedule(this, LineClock::Now());
}

// ---------------------------------------------------------------------------------------------
// Line settings.

bool Uart::Running() const { return charTime_ > 0 && power_ <= 2; }

uint32_t Uart::TriggerLevel() const {
    return fifoOn_ ? kTriggerLevels[(fcr_ & kFcrTriggerMask) >> 6] : 1;
}

LineFrame Uart::FrameLocked() const {
    LineFrame f;
    f.clockHz = config_.clockHz;
    f.divisor = divisor_;
    f.dataBits = static_cast<uint8_t>(5 + (lcr_ & kLcrWordLengthMask));
    f.parity = ParityOf(lcr_);
    f.stopHalfBits = (lcr_ & kLcrStopBits) ? (f.dataBits == 5 ? 3 : 4) : 2;
    return f;
}

void Uart::UpdateCharTimeLocked() {
    if (divisor_ == 0) {
        charTime_ = 0;
        return;
    }
    LineFrame f = FrameLocked();
    long double ps = static_cast<long double>(f.HalfBits()) * 8.0L * divisor_ * 1e12L *
                     static_cast<long double>(scale_) / config_.clockHz;
    charTime_ = std::max<Ps>(1, static_cast<Ps>(std::ceil(ps)));
}

// ---------------------------------------------------------------------------------------------
// Transmitter.

void Uart::AdvanceTxLocked(Ps now) {
    while (shifting_ && shiftEnd_ <= now) {
        shifting_ = false;
        changed_ = true;
        bool lost = breakOn_ || shiftStart_ < lastBreakEnd_;
        if (!lost) {
            ++stats_.charsSent;
            EmitLocked(LineSymbol{shiftData_, 0, shiftFrame_, shiftEnd_});
        }
        LoadShifterLocked(shiftEnd_);
    }
    if (breakOn_ && !breakSent_ && breakStart_ + breakTime_ <= now) {
        breakSent_ = true;
        changed_ = true;
        ++stats_.breaksSent;
        EmitLocked(LineSymbol{0, kSymbolBreak, FrameLocked(), breakStart_ + breakTime_});
    }
}

void Uart::LoadShifterLocked(Ps now) {
    if (shifting_ || txFifo_.empty() || !Running()) return;
    shiftData_ = txFifo_.pop();
    shiftFrame_ = FrameLocked();
    shiftStart_ = now;
    shiftEnd_ = now + charTime_;
    shifting_ = true;
    changed_ = true;
    if (txFifo_.empty()) thrPending_ = true;
}

void Uart::PushTxLocked(uint8_t value, Ps now) {
    thrPending_ = false;
    changed_ = true;
    if (txFifo_.size() < Capacity()) txFifo_.push(value);
    LoadShifterLocked(now);
}

void Uart::ClearTxLocked() {
    changed_ = true;
    if (txFifo_.empty()) return;
    txFifo_.clear();
    thrPending_ = true;
}

// Where a character leaving the shifter goes.
void Uart::EmitLocked(const LineSymbol& symbol) {
    if (mcr_ & kMcrLoop) {
        ReceiveLocked(symbol);
        return;
    }
    switch (link_.kind) {
        case LinkKind::LoopbackPlug:
            ReceiveLocked(symbol);
            break;
        case LinkKind::NullModem:
            if (!(link_.peer->mcr_ & kMcrLoop)) link_.peer->ReceiveLocked(symbol);
            break;
        case LinkKind::External:
            outbox_.push_back(symbol);
            break;
        case LinkKind::None:
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Receiver.

void Uart::CheckTimeoutLocked(Ps now) {
    if (fifoOn_ && !timeoutPending_ && !rxFifo_.empty() && charTime_ > 0 &&
        rxActivity_ + 4 * charTime_ <= now) {
        timeoutPending_ = true;
        changed_ = true;
    }
}

void Uart::RxAdvanceLocked(Ps now) {
    while (!inbound_.empty() && inbound_.front().at <= now) {
        LineSymbol symbol = inbound_.front();
        inbound_.pop_front();
        changed_ = true;
        // In internal loopback the receiver does not listen to the wire.
        if (!(mcr_ & kMcrLoop)) ReceiveLocked(symbol);
    }
    CheckTimeoutLocked(now);
}

Uart::RxEntry Uart::EvaluateLocked(const LineSymbol& s) const {
    if (s.flags & kSymbolBreak) return {0, kLsrBreak};
    LineFrame rx = FrameLocked();
    auto mask = static_cast<uint8_t>((1u << rx.dataBits) - 1);
    uint8_t errors = 0;
    if (s.flags & kSymbolParityError) errors |= kLsrParityError;
    if (s.flags & kSymbolFramingError) errors |= kLsrFramingError;
    if (s.flags & kSymbolReceiverFrame) return {static_cast<uint8_t>(s.data & mask), errors};
    const LineFrame& tx = s.frame;
    if (!SameSpeed(tx, rx)) {
        return {static_cast<uint8_t>(SampleGarbled(s.data, tx, rx) & mask),
                static_cast<uint8_t>(errors | kLsrFramingError)};
    }
    if (tx.dataBits != rx.dataBits || tx.stopHalfBits != rx.stopHalfBits ||
        (tx.parity == Parity::None) != (rx.parity == Parity::None)) {
        errors |= kLsrFramingError;
    }
    if (rx.parity != Parity::None && tx.parity != rx.parity) errors |= kLsrParityError;
    return {static_cast<uint8_t>(s.data & mask), errors};
}

void Uart::ReceiveLocked(const LineSymbol& symbol) {
    CheckTimeoutLocked(symbol.at);
    changed_ = true;
    if (!Running()) return;
    RxEntry entry = EvaluateLocked(symbol);
    rxActivity_ = symbol.at;
    if (rxFifo_.size() >= Capacity()) {
        lsrLatch_ |= kLsrOverrun;  // the arriving byte is lost
        ++stats_.overruns;
        return;
    }
    bool top = rxFifo_.empty();
    rxFifo_.push(entry);
    lastRxPush_ = symbol.at;
    ++stats_.charsReceived;
    if (entry.errors) {
        ++rxErrors_;
        fifoErrorLatch_ = true;
    }
    if (top) lsrLatch_ |= entry.errors;
}

uint8_t Uart::PopRxLocked(Ps now) {
    if (rxFifo_.empty()) return 0;
    RxEntry e = rxFifo_.pop();
    if (e.errors) --rxErrors_;
    timeoutPending_ = false;
    rxActivity_ = now;
    changed_ = true;
    if (!rxFifo_.empty()) lsrLatch_ |= rxFifo_.front().errors;
    return e.data;
}

void Uart::ClearRxLocked() {
    rxFifo_.clear();
    rxErrors_ = 0;
    fifoErrorLatch_ = false;
    timeoutPending_ = false;
    changed_ = true;
}

// ---------------------------------------------------------------------------------------------
// Registers.

int Uart::RegisterAt(uint32_t offset) const {
    if (offset % config_.stride != 0) return -1;
    uint32_t k = offset / config_.stride;
    return k < kRegisterCount ? static_cast<int>(k) : -1;
}

uint8_t Uart::ComputeIidLocked() const {
    if ((ier_ & kIerLineStatus) && (lsrLatch_ & kLsrLineErrors)) return kIirLineStatus;
    if (ier_ & kIerReceivedData) {
        if (rxFifo_.size() >= TriggerLevel()) return kIirReceivedData;
        if (timeoutPending_) return kIirCharTimeout;
    }
    if ((ier_ & kIerTransmitEmpty) && thrPending_) return kIirTransmitEmpty;
    if ((ier_ & kIerModemStatus) && msrDelta_) return kIirModemStatus;
    return kIirNonePending;
}

uint8_t Uart::ReadIirLocked() {
    uint8_t id = ComputeIidLocked();
    if (id == kIirTransmitEmpty) {
        thrPending_ = false;
        changed_ = true;
    }
    return id | (fifoOn_ ? kIirFifosOn : 0);
}

uint8_t Uart::ReadLsrLocked() {
    uint8_t v = lsrLatch_ & kLsrLineErrors;
    if (!rxFifo_.empty()) v |= kLsrDataReady;
    if (txFifo_.empty()) v |= kLsrThrEmpty;
    if (txFifo_.empty() && !shifting_) v |= kLsrTxEmpty;
    if (fifoOn_ && fifoErrorLatch_) v |= kLsrFifoError;
    bool errorsLeft = rxErrors_ > 0;
    if (lsrLatch_ || fifoErrorLatch_ != errorsLeft) changed_ = true;
    lsrLatch_ = 0;
    fifoErrorLatch_ = errorsLeft;
    return v;
}

uint8_t Uart::ReadMsrLocked() {
    uint8_t v = msrLines_ | msrDelta_;
    if (msrDelta_) changed_ = true;
    msrDelta_ = 0;
    return v;
}

uint8_t Uart::ReadLocked(uint32_t offset, Ps now) {
    if (offset >= kFifoWindowOffset && offset < kFifoWindowOffset + kFifoWindowLength) {
        return PopRxLocked(now);
    }
    if (offset == kTxLevelOffset) return static_cast<uint8_t>(txFifo_.size());
    if (offset == kRxLevelOffset) return static_cast<uint8_t>(rxFifo_.size());
    switch (RegisterAt(offset)) {
        case kRegData:
            return (lcr_ & kLcrDlab) ? static_cast<uint8_t>(divisor_) : PopRxLocked(now);
        case kRegIer:
            return (lcr_ & kLcrDlab) ? static_cast<uint8_t>(divisor_ >> 8) : ier_;
        case kRegIir:
            return ReadIirLocked();
        case kRegLcr:
            return lcr_;
        case kRegMcr:
            return mcr_;
        case kRegLsr:
            return ReadLsrLocked();
        case kRegMsr:
            return ReadMsrLocked();
        case kRegScr:
            return scr_;
        default:
            return 0;
    }
}

void Uart::WriteFcrLocked(uint8_t value) {
    changed_ = true;
    bool on = value & kFcrEnable;
    if (on != fifoOn_) {
        ClearRxLocked();
        ClearTxLocked();
        fifoOn_ = on;
    }
    if (!on) {
        fcr_ = 0;
        return;
    }
    if (value & kFcrRxReset) ClearRxLocked();
    if (value & kFcrTxReset) ClearTxLocked();
    fcr_ = value & (kFcrTriggerMask | kFcrDmaMode | kFcrEnable);
}

void Uart::WriteLcrLocked(uint8_t value, Ps now) {
    uint8_t old = lcr_;
    lcr_ = value;
    UpdateCharTimeLocked();
    changed_ = true;
    if (!(old & kLcrBreak) && (value & kLcrBreak)) {
        breakOn_ = true;
        breakSent_ = false;
        breakStart_ = now;
        breakTime_ = charTime_;
    } else if ((old & kLcrBreak) && !(value & kLcrBreak)) {
        breakOn_ = false;
        lastBreakEnd_ = now;
        if (!breakSent_) {
            // Too short to be taken for a break: a zero character without its stop bit.
            EmitLocked(LineSymbol{0, kSymbolReceiverFrame | kSymbolFramingError, FrameLocked(), now});
        }
    }
}

void Uart::SetDivisorLocked(uint16_t divisor, Ps now) {
    divisor_ = divisor;
    UpdateCharTimeLocked();
    changed_ = true;
    LoadShifterLocked(now);
}

void Uart::WriteLocked(uint32_t offset, uint8_t value, Ps now, Uart* peer) {
    changed_ = true;
    if (offset >= kFifoWindowOffset && offset < kFifoWindowOffset + kFifoWindowLength) {
        PushTxLocked(value, now);
        return;
    }
    switch (RegisterAt(offset)) {
        case kRegData:
            if (lcr_ & kLcrDlab) {
                SetDivisorLocked(static_cast<uint16_t>((divisor_ & 0xFF00) | value), now);
            } else {
                PushTxLocked(value, now);
            }
            break;
        case kRegIer:
            if (lcr_ & kLcrDlab) {
                SetDivisorLocked(static_cast<uint16_t>((divisor_ & 0x00FF) | (value << 8)), now);
            } else {
                bool enabling = !(ier_ & kIerTransmitEmpty) && (value & kIerTransmitEmpty);
                ier_ = value & kIerWritable;
                if (enabling && txFifo_.empty()) thrPending_ = true;
            }
            break;
        case kRegFcr:
            WriteFcrLocked(value);
            break;
        case kRegLcr:
            WriteLcrLocked(value, now);
            break;
        case kRegMcr:
            mcr_ = value & kMcrWritable;
            PropagateLinesLocked(peer);
            break;
        case kRegScr:
            scr_ = value;
            break;
        default:  // LSR and MSR writes are factory-test only; unknown offsets decode nothing
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Modem lines.

ControlLines Uart::WireOutputsLocked() const {
    if (mcr_ & kMcrLoop) return {};
    return ControlLines{(mcr_ & kMcrDtr) != 0, (mcr_ & kMcrRts) != 0};
}

void Uart::PropagateLinesLocked(Uart* peer) {
    ControlLines out = WireOutputsLocked();
    switch (link_.kind) {
        case LinkKind::LoopbackPlug:
            wireIn_ = LinesFromOutputs(out);
            break;
        case LinkKind::NullModem:
            if (peer) {
                peer->wireIn_ = LinesFromOutputs(out);
                peer->UpdateModemInputsLocked();
            }
            break;
        case LinkKind::External:
            if (!(out == wireControl_)) {
                wireControl_ = out;
                controlChanged_ = true;
            }
            break;
        case LinkKind::None:
            wireIn_ = 0;
            break;
    }
    UpdateModemInputsLocked();
}

void Uart::UpdateModemInputsLocked() {
    uint8_t lines = wireIn_;
    if (mcr_ & kMcrLoop) {
        lines = ((mcr_ & kMcrRts) ? kMsrCts : 0) | ((mcr_ & kMcrDtr) ? kMsrDsr : 0) |
                ((mcr_ & kMcrOut1) ? kMsrRi : 0) | ((mcr_ & kMcrOut2) ? kMsrDcd : 0);
    }
    uint8_t diff = lines ^ msrLines_;
    if (!diff) return;
    if (diff & kMsrCts) msrDelta_ |= kMsrDeltaCts;
    if (diff & kMsrDsr) msrDelta_ |= kMsrDeltaDsr;
    if (diff & kMsrDcd) msrDelta_ |= kMsrDeltaDcd;
    if ((msrLines_ & kMsrRi) && !(lines & kMsrRi)) msrDelta_ |= kMsrTrailingRi;
    msrLines_ = lines;
    changed_ = true;
}

// ---------------------------------------------------------------------------------------------
// Power.

void Uart::ResetRegistersLocked(Ps now, Uart* peer) {
    if (breakOn_) lastBreakEnd_ = now;  // power gone: the break ends without a character
    breakOn_ = false;
    ier_ = kResetIer;
    lcr_ = kResetLcr;
    mcr_ = kResetMcr;
    fcr_ = 0;
    fifoOn_ = false;
    scr_ = kResetScr;
    divisor_ = kResetDivisor;
    UpdateCharTimeLocked();
    txFifo_.clear();
    shifting_ = false;
    thrPending_ = false;
    ClearRxLocked();
    lsrLatch_ = 0;
    PropagateLinesLocked(peer);
    msrDelta_ = 0;
    changed_ = true;
}

bool Uart::SetPower(uint32_t, uint32_t state) {
    if (state > 4) return false;
    WithLine([&](Ps now, Uart* peer) {
        if (state >= 3 && power_ < 3) ResetRegistersLocked(now, peer);
        power_ = state;
        changed_ = true;
        LoadShifterLocked(now);
    });
    return true;
}

// ---------------------------------------------------------------------------------------------
// What is coming to this receiver, and when the next observable change falls due.

const Uart* Uart::SourceLocked() const {
    if (mcr_ & kMcrLoop) return this;
    switch (link_.kind) {
        case LinkKind::LoopbackPlug:
            return this;
        case LinkKind::NullModem:
            return (link_.peer->mcr_ & kMcrLoop) ? nullptr : link_.peer;
        default:
            return nullptr;
    }
}

// Characters this transmitter will still put on the line, as it stands now.
size_t Uart::TxUpcomingLocked() const {
    if (breakOn_) return breakSent_ ? 0 : 1;
    if (!shifting_) return 0;
    size_t n = Running() ? txFifo_.size() : 0;
    return n + (shiftStart_ < lastBreakEnd_ ? 0 : 1);
}

LineSymbol Uart::TxUpcomingAtLocked(size_t i) const {
    if (breakOn_) return LineSymbol{0, kSymbolBreak, FrameLocked(), breakStart_ + breakTime_};
    if (shiftStart_ < lastBreakEnd_) ++i;  // the character in the shifter is lost
    if (i == 0) return LineSymbol{shiftData_, 0, shiftFrame_, shiftEnd_};
    return LineSymbol{txFifo_.items[(txFifo_.head + i - 1) % kFifoDepth], 0, FrameLocked(),
                      shiftEnd_ + static_cast<Ps>(i) * charTime_};
}

// The next instant at which the receiver changes observably by itself: the arrival that
// reaches the trigger level or overflows the FIFO, an erroneous byte arriving at the top, or the
// first silence of four character times while the FIFO holds data. The known arrivals are
// walked, so that a stream of characters does not wake the clock for time-outs that each
// following character cancels.
Ps Uart::RxNextEventLocked() const {
    if (!Running()) return LineClock::kNever;
    const uint32_t level = rxFifo_.size();
    size_t need = Capacity() - level + 1;  // the arrival that overflows
    if (level < TriggerLevel()) need = std::min<size_t>(need, TriggerLevel() - level);
    const Ps quiet = 4 * charTime_;
    const bool timeouts = fifoOn_ && !timeoutPending_;
    Ps last = rxFifo_.empty() ? LineClock::kNever : rxActivity_;

    const bool external = !(mcr_ & kMcrLoop) && link_.kind == LinkKind::External;
    const Uart* source = external ? nullptr : SourceLocked();
    const size_t count = external ? inbound_.size() : source ? source->TxUpcomingLocked() : 0;
    auto arrival = [&](size_t i) {
        return external ? inbound_[i] : source->TxUpcomingAtLocked(i);
    };
    const size_t n = std::min(count, need);
    for (size_t i = 0; i < n; ++i) {
        if (source && i == 1 && i + 1 < n && source->charTime_ <= quiet) {
            // A transmitter's characters after the first follow back to back: no silence and
            // nothing to look at until the last one considered.
            i = n - 1;
            last = arrival(i - 1).at;
        }
        LineSymbol s = arrival(i);
        if (timeouts && last != LineClock::kNever && s.at > last + quiet) return last + quiet;
        if (i + 1 == need) return s.at;
        if (i == 0 && level == 0 && ((s.flags & kSymbolBreak) || EvaluateLocked(s).errors)) {
            return s.at;
        }
        last = s.at;
    }
    return timeouts && last != LineClock::kNever ? last + quiet : LineClock::kNever;
}

Ps Uart::NextEventLocked(Ps) const {
    Ps next = LineClock::kNever;
    if (shifting_) {
        // The transmit FIFO empties when its last byte moves into the shifter.
        if (!txFifo_.empty() && Running()) {
            next = shiftEnd_ + static_cast<Ps>(txFifo_.size() - 1) * charTime_;
        }
        // Characters for an endpoint outside leave as they complete (the clock batches them).
        if (!(mcr_ & kMcrLoop) && link_.kind == LinkKind::External) {
            next = std::min(next, shiftEnd_);
        }
    }
    if (breakOn_ && !breakSent_) next = std::min(next, breakStart_ + breakTime_);
    return std::min(next, RxNextEventLocked());
}

// ---------------------------------------------------------------------------------------------
// Bus target.

uint8_t Uart::Read8(uint32_t offset) {
    uint8_t value = 0;
    WithLine([&](Ps now, Uart*) { value = ReadLocked(offset, now); });
    return value;
}

void Uart::Write8(uint32_t offset, uint8_t value) {
    WithLine([&](Ps now, Uart* peer) { WriteLocked(offset, value, now, peer); });
}

uint32_t Uart::Read32(uint32_t offset) {
    if (offset < kFifoWindowOffset || offset >= kFifoWindowOffset + kFifoWindowLength) {
        return BusTarget::Read32(offset);
    }
    uint32_t value = 0;
    WithLine([&](Ps now, Uart*) {
        for (int i = 0; i < 4; ++i) value |= uint32_t{PopRxLocked(now)} << (8 * i);
    });
    return value;
}

void Uart::Write32(uint32_t offset, uint32_t value) {
    if (offset < kFifoWindowOffset || offset >= kFifoWindowOffset + kFifoWindowLength) {
        BusTarget::Write32(offset, value);
        return;
    }
    WithLine([&](Ps now, Uart*) {
        changed_ = true;
        for (int i = 0; i < 4; ++i) PushTxLocked(static_cast<uint8_t>(value >> (8 * i)), now);
    });
}

// ---------------------------------------------------------------------------------------------
// Wiring.

namespace {
// Taken before any UART lock by every change of wiring, so that a UART reached through a link
// cannot finish its own unlinking (and be freed) meanwhile.
std::mutex gWiringMutex;
}  // namespace

// The link locks of one or two UARTs, taken without regard to order (std::lock).
class LinkLocks {
public:
    LinkLocks(std::mutex& a, std::mutex* b) : a_(a, std::defer_lock) {
        if (b) {
            b_ = std::unique_lock<std::mutex>(*b, std::defer_lock);
            std::lock(a_, b_);
        } else {
            a_.lock();
        }
    }

private:
    std::unique_lock<std::mutex> a_;
    std::unique_lock<std::mutex> b_;
};

bool Uart::LinkUp(Uart& a, Uart* b, LinkKind kind, std::shared_ptr<LineEndpoint> endpoint,
                  uint64_t id) {
    std::lock_guard wiring(gWiringMutex);
    if (b == &a) return false;
    LinkLocks links(a.linkMutex_, b ? &b->linkMutex_ : nullptr);
    if (a.link_.kind != LinkKind::None || (b && b->link_.kind != LinkKind::None)) return false;
    PairLock pair(a.mu_, b ? &b->mu_ : nullptr);
    Ps now = std::max(LineClock::Now(), a.advancedTo_);
    if (b) now = std::max(now, b->advancedTo_);
    a.AdvanceAllLocked(now, nullptr);
    if (b) b->AdvanceAllLocked(now, nullptr);
    a.link_ = Link{kind, b, std::move(endpoint), id};
    a.inbound_.clear();
    a.inboundTail_ = now;
    a.outbox_.clear();
    a.wireControl_ = ControlLines{};
    a.controlChanged_ = kind == LinkKind::External;  // the endpoint learns the lines at once
    if (b) b->link_ = Link{kind, &a, nullptr, id};
    a.PropagateLinesLocked(b);
    if (b) b->PropagateLinesLocked(&a);
    a.changed_ = true;
    a.FinishLocked(now, b, false);
    return true;
}

void Uart::LinkDown(Uart& a, uint64_t id) {
    std::lock_guard wiring(gWiringMutex);
    if (a.link_.kind == LinkKind::None || (id != 0 && a.link_.id != id)) return;
    Uart* b = a.link_.kind == LinkKind::NullModem ? a.link_.peer : nullptr;
    LinkLocks links(a.linkMutex_, b ? &b->linkMutex_ : nullptr);
    PairLock pair(a.mu_, b ? &b->mu_ : nullptr);
    a.AdvanceAllLocked(LineClock::Now(), b);
    Ps now = a.advancedTo_;
    if (b) b->advancedTo_ = now;
    a.link_ = Link{};
    a.inbound_.clear();
    a.outbox_.clear();
    a.controlChanged_ = false;
    a.PropagateLinesLocked(nullptr);
    if (b) {
        b->link_ = Link{};
        b->PropagateLinesLocked(nullptr);
        b->changed_ = true;
    }
    a.changed_ = true;
    a.FinishLocked(now, b, false);
}

void Uart::ExternalSend(uint64_t id, std::vector<LineSymbol> symbols) {
    WithLine([&](Ps now, Uart*) {
        if (link_.kind != LinkKind::External || link_.id != id) return;
        Ps t = std::max(now, inboundTail_);
        for (LineSymbol& s : symbols) {
            t += charTime_;  // 0 while the line does not run: they arrive now and are lost
            s.at = t;
            inbound_.push_back(s);
        }
        inboundTail_ = t;
        changed_ = true;
    });
}

void Uart::ExternalSetLines(uint64_t id, ModemLines lines) {
    WithLine([&](Ps, Uart*) {
        if (link_.kind != LinkKind::External || link_.id != id) return;
        wireIn_ = (lines.cts ? kMsrCts : 0) | (lines.dsr ? kMsrDsr : 0) |
                  (lines.ri ? kMsrRi : 0) | (lines.dcd ? kMsrDcd : 0);
        UpdateModemInputsLocked();
    });
}

ControlLines Uart::ExternalControl(uint64_t id) {
    ControlLines v;
    WithLine([&](Ps, Uart*) {
        if (link_.kind == LinkKind::External && link_.id == id) v = WireOutputsLocked();
    });
    return v;
}

size_t Uart::ExternalPending(uint64_t id) {
    size_t v = 0;
    WithLine([&](Ps, Uart*) {
        if (link_.kind == LinkKind::External && link_.id == id) v = inbound_.size();
    });
    return v;
}

// ---------------------------------------------------------------------------------------------
// Observation.

bool Uart::InterruptPending() {
    bool pending = false;
    WithLine([&](Ps, Uart*) { pending = ComputeIidLocked() != kIirNonePending; });
    return pending;
}

uint8_t Uart::ModemControl() {
    uint8_t v = 0;
    WithLine([&](Ps, Uart*) { v = mcr_; });
    return v;
}

ControlLines Uart::WireControlLines() {
    ControlLines v;
    WithLine([&](Ps, Uart*) { v = WireOutputsLocked(); });
    return v;
}

ModemLines Uart::ModemInputs() {
    ModemLines v;
    WithLine([&](Ps, Uart*) {
        v = ModemLines{(msrLines_ & kMsrCts) != 0, (msrLines_ & kMsrDsr) != 0,
                       (msrLines_ & kMsrRi) != 0, (msrLines_ & kMsrDcd) != 0};
    });
    return v;
}

uint32_t Uart::PowerState() {
    uint32_t v = 0;
    WithLine([&](Ps, Uart*) { v = power_; });
    return v;
}

LineFrame Uart::Frame() {
    LineFrame v;
    WithLine([&](Ps, Uart*) { v = FrameLocked(); });
    return v;
}

Ps Uart::CharacterTime() {
    Ps v = 0;
    WithLine([&](Ps, Uart*) { v = Running() ? charTime_ : 0; });
    return v;
}

UartStats Uart::Stats() {
    UartStats v;
    WithLine([&](Ps, Uart*) { v = stats_; });
    return v;
}

std::chrono::steady_clock::time_point Uart::LastReceiveTime() {
    Ps v = 0;
    WithLine([&](Ps, Uart*) { v = lastRxPush_; });
    return LineClock::ToTimePoint(v);
}

void Uart::SetCharTimeScale(double scale) {
    if (!(scale > 0)) return;
    WithLine([&](Ps, Uart*) {
        scale_ = scale;
        UpdateCharTimeLocked();
        changed_ = true;
    });
}

}  // namespace sim
