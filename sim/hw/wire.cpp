#include "sim/hw/wire.h"

#include <atomic>

#include "sim/hw/uart.h"

namespace sim {

namespace {

std::atomic<uint64_t> gNextWireId{1};

class PlainWire : public Wire {
public:
    PlainWire(std::vector<std::weak_ptr<Uart>> ends, uint64_t id) {
        ends_ = std::move(ends);
        id_ = id;
    }
};

}  // namespace

Wire::~Wire() {
    for (const auto& end : ends_) {
        if (auto uart = end.lock()) Uart::LinkDown(*uart, id_);
    }
}

std::unique_ptr<Wire> ConnectLoopbackPlug(Uart& uart) {
    uint64_t id = gNextWireId++;
    if (!Uart::LinkUp(uart, nullptr, Uart::LinkKind::LoopbackPlug, nullptr, id)) return nullptr;
    return std::make_unique<PlainWire>(std::vector{uart.weak_from_this()}, id);
}

std::unique_ptr<Wire> ConnectNullModem(Uart& a, Uart& b) {
    uint64_t id = gNextWireId++;
    if (!Uart::LinkUp(a, &b, Uart::LinkKind::NullModem, nullptr, id)) return nullptr;
    return std::make_unique<PlainWire>(std::vector{a.weak_from_this(), b.weak_from_this()}, id);
}

std::unique_ptr<ExternalWire> ConnectEndpoint(Uart& uart, std::shared_ptr<LineEndpoint> endpoint) {
    if (!endpoint) return nullptr;
    uint64_t id = gNextWireId++;
    if (!Uart::LinkUp(uart, nullptr, Uart::LinkKind::External, std::move(endpoint), id)) {
        return nullptr;
    }
    std::unique_ptr<ExternalWire> wire(new ExternalWire);
    wire->ends_ = {uart.weak_from_this()};
    wire->id_ = id;
    return wire;
}

// ---------------------------------------------------------------------------------------------
// The far end of an external wire.

std::shared_ptr<Uart> ExternalWire::UartEnd() const { return ends_.front().lock(); }

void ExternalWire::SendSymbols(std::vector<LineSymbol> symbols) {
    if (auto uart = UartEnd()) uart->ExternalSend(id_, std::move(symbols));
}

void ExternalWire::Send(std::span<const uint8_t> bytes) {
    std::vector<LineSymbol> symbols;
    symbols.reserve(bytes.size());
    for (uint8_t b : bytes) symbols.push_back(LineSymbol{b, kSymbolReceiverFrame, {}, 0});
    SendSymbols(std::move(symbols));
}

void ExternalWire::SendWithError(uint8_t byte, bool parityError, bool framingError) {
    uint8_t flags = kSymbolReceiverFrame | (parityError ? kSymbolParityError : 0) |
                    (framingError ? kSymbolFramingError : 0);
    SendSymbols({LineSymbol{byte, flags, {}, 0}});
}

void ExternalWire::SendFramed(std::span<const uint8_t> bytes, const LineFrame& frame) {
    std::vector<LineSymbol> symbols;
    symbols.reserve(bytes.size());
    for (uint8_t b : bytes) symbols.push_back(LineSymbol{b, 0, frame, 0});
    SendSymbols(std::move(symbols));
}

void ExternalWire::SendBreak() { SendSymbols({LineSymbol{0, kSymbolBreak, {}, 0}}); }

void ExternalWire::SetModemLines(ModemLines lines) {
    if (auto uart = UartEnd()) uart->ExternalSetLines(id_, lines);
}

ControlLines ExternalWire::UartControlLines() const {
    auto uart = UartEnd();
    return uart ? uart->ExternalControl(id_) : ControlLines{};
}

size_t ExternalWire::PendingToUart() const {
    auto uart = UartEnd();
    return uart ? uart->ExternalPending(id_) : 0;
}

// ---------------------------------------------------------------------------------------------
// Recording endpoint.

void RecordingEndpoint::OnTransmit(std::span<const LineSymbol> symbols) {
    std::lock_guard lock(mutex_);
    for (const LineSymbol& s : symbols) {
        symbols_.push_back(s);
        if (!(s.flags & kSymbolBreak)) ++bytes_;
    }
    arrived_.notify_all();
}

void RecordingEndpoint::OnControlLines(ControlLines lines) {
    std::lock_guard lock(mutex_);
    control_.push_back(lines);
    arrived_.notify_all();
}

std::vector<LineSymbol> RecordingEndpoint::Symbols() const {
    std::lock_guard lock(mutex_);
    return symbols_;
}

std::vector<uint8_t> RecordingEndpoint::Bytes() const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out;
    for (const LineSymbol& s : symbols_) {
        if (!(s.flags & kSymbolBreak)) out.push_back(s.data);
    }
    return out;
}

std::vector<ControlLines> RecordingEndpoint::ControlHistory() const {
    std::lock_guard lock(mutex_);
    return control_;
}

bool RecordingEndpoint::WaitForBytes(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return bytes_ >= count; });
}

void RecordingEndpoint::Clear() {
    std::lock_guard lock(mutex_);
    symbols_.clear();
    control_.clear();
    bytes_ = 0;
}

}  // namespace sim
