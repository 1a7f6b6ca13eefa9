// Wires: what a UART's serial line is connected to.
//
// Kinds: nothing (a UART without a wire), a loopback plug (TX to RX, RTS to CTS, DTR to DSR and
// DCD), a null-modem cable between two UARTs (the same, crossed, both ways) and an external
// endpoint (a program outside the machine: pseudo-terminal, TCP socket, test hook). A UART is on
// at most one wire. A wire object owns the connection: destroying it disconnects, and destroying
// a UART disconnects its wire (the wire object then does nothing). Both are safe while the
// timing thread runs and while the driver accesses the UART.
//
// What travels on the wire is a LineSymbol per character, carrying the frame the transmitter
// used, so that the far receiver can tell whether the two ends agree:
// - speed: the two baud rates (clock / (16 x divisor)) agree within 2 %; otherwise the receiver
//   flags a framing error and the data bits are what it samples, at its own bit centres, from
//   the transmitter's waveform (a garbled byte);
// - frame: the same number of data bits, the same stop-bit setting, parity used by both or by
//   neither; otherwise a framing error (data: the transmitted byte cut to the receiver's width);
// - parity: when the receiver checks parity and the transmitter's parity setting is another
//   one (odd, even, mark, space, or none), a parity error.
// A break (LCR bit 6) holds the line low: once it has lasted one character time of the
// transmitter the receiver gets one zero byte with BI. A break released before that reaches the
// receiver as a zero byte with a framing error. Characters whose transmission overlaps a break
// are lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "sim/hw/line_clock.h"

namespace sim {

class Uart;

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };

// How a transmitter frames its characters.
struct LineFrame {
    uint32_t clockHz = 0;
    uint32_t divisor = 0;  // 0: the line does not run
    uint8_t dataBits = 5;
    Parity parity = Parity::None;
    uint8_t stopHalfBits = 2;  // 2 = one stop bit, 3 = one and a half, 4 = two

    double Baud() const { return divisor ? clockHz / (16.0 * divisor) : 0.0; }
    // Frame length in half bits: start, data, parity, stop.
    uint32_t HalfBits() const {
        return 2u * (1u + dataBits + (parity == Parity::None ? 0u : 1u)) + stopHalfBits;
    }
    bool operator==(const LineFrame&) const = default;
};

// Flags of a LineSymbol.
constexpr uint8_t kSymbolBreak = 0x01;          // a break, not a character
constexpr uint8_t kSymbolParityError = 0x02;    // injected: received with a parity error
constexpr uint8_t kSymbolFramingError = 0x04;   // injected, or a break cut short
constexpr uint8_t kSymbolReceiverFrame = 0x08;  // injected: framed as the receiver expects

struct LineSymbol {
    uint8_t data = 0;
    uint8_t flags = 0;
    LineFrame frame;      // the transmitter's frame (not used with kSymbolReceiverFrame)
    LineClock::Ps at = 0; // the instant the character's last stop bit ended
};

// Modem lines as a UART's inputs see them, and the control lines it drives.
struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
    bool operator==(const ModemLines&) const = default;
};
struct ControlLines {
    bool dtr = false;
    bool rts = false;
    bool operator==(const ControlLines&) const = default;
};

// The far end of an external wire. Its calls come on the machine's timing thread, in order,
// with no model lock held (so an endpoint may call back into its ExternalWire).
class LineEndpoint {
public:
    virtual ~LineEndpoint() = default;
    // Characters (and breaks) the UART sent, in the order they left the line.
    virtual void OnTransmit(std::span<const LineSymbol> symbols) = 0;
    // The UART's DTR / RTS as they are on the wire after a change (both off while the UART is
    // in internal loopback or powered down).
    virtual void OnControlLines(ControlLines) {}
};

// A connection. Destroying it disconnects (the UART's inputs then read all lines off).
class Wire {
public:
    virtual ~Wire();
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

protected:
    Wire() = default;
    friend class Uart;
    // Each end that is still alive and still on this wire.
    std::vector<std::weak_ptr<Uart>> ends_;
    uint64_t id_ = 0;
};

// An external endpoint's wire: the endpoint's way in, and the test hooks at the far end.
class ExternalWire : public Wire {
public:
    // Characters from the far end, framed as the UART receives them. They arrive one receive
    // character time apart (the UART's own settings at the call), after those sent before.
    void Send(std::span<const uint8_t> bytes);
    // One character that the UART will receive with a parity and/or framing error.
    void SendWithError(uint8_t byte, bool parityError, bool framingError);
    // A break: the UART receives one zero byte with BI, a character time after the one before.
    void SendBreak();
    // Characters the far end frames its own way (another speed, data width, parity or stop
    // bits, say after it changed its settings): the UART judges each against its own settings
    // as it would a far UART's. They arrive one receive character time apart, like Send's.
    void SendFramed(std::span<const uint8_t> bytes, const LineFrame& frame);
    // The far end's modem outputs, as the UART's CTS / DSR / RI / DCD inputs; take effect at once.
    void SetModemLines(ModemLines lines);
    // The UART's DTR / RTS as the far end sees them now.
    ControlLines UartControlLines() const;
    // Characters sent and not yet arrived.
    size_t PendingToUart() const;
    // The UART, or null once it is gone.
    std::shared_ptr<Uart> UartEnd() const;

private:
    friend class Uart;
    friend std::unique_ptr<ExternalWire> ConnectEndpoint(Uart&, std::shared_ptr<LineEndpoint>);
    ExternalWire() = default;
    void SendSymbols(std::vector<LineSymbol> symbols);
};

// Each returns null when a UART is already on a wire (or, for the cable, both ends are one UART).
std::unique_ptr<Wire> ConnectLoopbackPlug(Uart& uart);
std::unique_ptr<Wire> ConnectNullModem(Uart& a, Uart& b);
std::unique_ptr<ExternalWire> ConnectEndpoint(Uart& uart, std::shared_ptr<LineEndpoint> endpoint);

// An endpoint that records what the UART sent and the control lines it drove (a test hook).
class RecordingEndpoint : public LineEndpoint {
public:
    void OnTransmit(std::span<const LineSymbol> symbols) override;
    void OnControlLines(ControlLines lines) override;

    std::vector<LineSymbol> Symbols() const;
    // Data bytes of the characters (breaks left out).
    std::vector<uint8_t> Bytes() const;
    std::vector<ControlLines> ControlHistory() const;
    // Waits until at least `count` data bytes have arrived; false on time-out.
    bool WaitForBytes(size_t count, std::chrono::milliseconds timeout) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<LineSymbol> symbols_;
    size_t bytes_ = 0;
    std::vector<ControlLines> control_;
};

}  // namespace sim
