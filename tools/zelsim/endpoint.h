// The far end of a UART's wire played by a Linux program, through a pseudo-terminal (the
// program opens the slave) or a TCP connection on 127.0.0.1 (one client at a time).
//
// Both carry bytes only; zelsim plays the far device's modem lines itself:
// - DSR and DCD are on while a program is attached (the slave open, a client connected);
// - CTS is on while attached and while the bytes the UART sent and the program has not yet
//   taken stay below a high-water mark (off at kHighWater, on again at kLowWater), so that a
//   port with CTS hand-shake is held instead of losing data; RI stays off;
// - the UART's RTS is honoured as a device with hardware flow control does: while it is off
//   nothing more is sent to the UART; DTR is not carried.
// Breaks the UART sends are not carried (counted). Bytes the UART sends while no program is
// attached are lost, as on a cable with nothing at its end. Bytes to the UART are paced: at
// most kInFlight characters are on their way at once, so that the UART's own line speed
// decides how fast they arrive and RTS takes effect within that many characters.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/hw/wire.h"
#include "tools/zelsim/console.h"
#include "tools/zelsim/pty.h"

namespace zelsim {

// How the bytes travel: a pseudo-terminal or a TCP connection.
class Transport {
  public:
    virtual ~Transport() = default;
    virtual std::string Where() const = 0;  // "/dev/pts/9", "tcp 127.0.0.1:7004"
    // The descriptor carrying the bytes, or -1 while there is none.
    virtual int DataFd() const = 0;
    virtual bool Attached() const = 0;
    // A descriptor to watch besides (a listening socket), or -1, and what to do when it is
    // readable.
    virtual int ControlFd() const { return -1; }
    virtual void OnControlReadable() {}
    // The peer went away (end of file or an error on the data descriptor).
    virtual void Drop() {}
};

std::unique_ptr<Transport> PtyTransport(std::string* error);
// Listens on 127.0.0.1:port (0: any free port, see Where()).
std::unique_ptr<Transport> TcpTransport(uint16_t port, Console* console, std::string* error);

class StreamLine : public sim::LineEndpoint {
  public:
    static constexpr size_t kInFlight = 256;
    static constexpr size_t kHighWater = 4096;
    static constexpr size_t kLowWater = 1024;
    static constexpr size_t kMaxQueued = 65536;  // beyond this the UART's bytes are lost

    StreamLine(std::unique_ptr<Transport> transport, std::string label);
    ~StreamLine() override;

    // Begins to serve the wire (which must outlive Stop). False when the wake-up channel
    // cannot be made.
    bool Start(sim::ExternalWire* wire, std::string* error);
    void Stop();

    std::string Where() const { return transport_->Where(); }
    const std::string& Label() const { return label_; }

    struct Counters {
        uint64_t toUart = 0;    // bytes from the program handed to the wire
        uint64_t fromUart = 0;  // bytes the UART sent that reached the program
        uint64_t lost = 0;      // bytes the UART sent that nobody took
        uint64_t breaks = 0;    // breaks the UART sent (not carried)
        bool attached = false;
    };
    Counters Read() const;

    // sim::LineEndpoint, on the machine's timing thread.
    void OnTransmit(std::span<const sim::LineSymbol> symbols) override;
    void OnControlLines(sim::ControlLines lines) override;

  private:
    void Run();
    void Wake();
    void SetLines(bool attached);
    void PumpToProgram(int fd);
    void PumpToUart(int fd, size_t room);

    const std::unique_ptr<Transport> transport_;
    const std::string label_;
    sim::ExternalWire* wire_ = nullptr;  // set by Start
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> attached_{false};

    mutable std::mutex mutex_;
    std::deque<uint8_t> queue_;  // guarded by mutex_: from the UART, not yet written
    Counters counters_;          // guarded by mutex_ (attached aside)

    // Pump thread only.
    bool cts_ = false;
    sim::ModemLines shown_;
    bool shownValid_ = false;
};

}  // namespace zelsim
