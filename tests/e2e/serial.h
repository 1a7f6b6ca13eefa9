// Helpers for the tests that move data through the whole stack: an owned application handle,
// line settings, and reading or writing a whole block.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "tests/e2e/e2e.h"

namespace e2e {

// An application handle, closed when it goes.
class PortHandle {
  public:
    explicit PortHandle(const std::u16string& name, uint32_t access = kReadWrite)
        : h_(api::Open(name, access, 0)) {}
    ~PortHandle() { Close(); }
    PortHandle(const PortHandle&) = delete;
    PortHandle& operator=(const PortHandle&) = delete;
    PortHandle(PortHandle&& other) noexcept : h_(other.h_) { other.h_ = 0; }
    PortHandle& operator=(PortHandle&& other) noexcept {
        if (this != &other) {
            Close();
            h_ = other.h_;
            other.h_ = 0;
        }
        return *this;
    }
    bool Close() {
        bool ok = h_ == 0 || api::Close(h_);
        h_ = 0;
        return ok;
    }
    operator api::Handle() const { return h_; }

  private:
    api::Handle h_;
};

// Line settings: the port's current record with the baud rate set and anything `tweak` changes.
inline bool Configure(api::Handle h, uint32_t baud,
                      const std::function<void(plat::Dcb&)>& tweak = nullptr) {
    plat::Dcb dcb{};
    if (!api::GetCommState(h, &dcb)) return false;
    dcb.BaudRate = baud;
    if (tweak) tweak(dcb);
    return api::SetCommState(h, &dcb);
}

inline bool SetTimeouts(api::Handle h, uint32_t interval, uint32_t readConstant,
                        uint32_t writeConstant) {
    plat::CommTimeouts t{interval, 0, readConstant, 0, writeConstant};
    return api::SetCommTimeouts(h, &t);
}

// Pseudo-random bytes, different per seed; never the XON or XOFF character when asked.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed, bool avoidFlowChars = false) {
    std::vector<uint8_t> bytes(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        do {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        } while (avoidFlowChars && (b == 0x11 || b == 0x13));
    }
    return bytes;
}

// Reads until n bytes have come or the deadline passes; returns what came.
inline std::vector<uint8_t> ReadBlock(api::Handle h, size_t n, std::chrono::milliseconds limit) {
    std::vector<uint8_t> got;
    got.reserve(n);
    auto end = std::chrono::steady_clock::now() + limit;
    uint8_t buffer[512];
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        uint32_t want = static_cast<uint32_t>(std::min(sizeof buffer, n - got.size()));
        uint32_t done = 0;
        if (!api::Read(h, buffer, want, &done)) break;
        got.insert(got.end(), buffer, buffer + done);
    }
    return got;
}

// Writes the whole block in chunks; returns the bytes handed over.
inline size_t WriteBlock(api::Handle h, const std::vector<uint8_t>& bytes, size_t chunk = 1024) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        uint32_t n = static_cast<uint32_t>(std::min(chunk, bytes.size() - sent));
        uint32_t done = 0;
        if (!api::Write(h, bytes.data() + sent, n, &done)) break;
        sent += done;
        if (done < n) break;
    }
    return sent;
}

// Seconds a line at `baud` needs for n characters of 10 bits.
inline double LineSeconds(size_t n, uint32_t baud) {
    return n * 10.0 / baud;
}

}  // namespace e2e

namespace e2e {

// Sets the event mask, runs `cause`, and returns the events a wait then reports (0xFFFFFFFF
// when the wait failed, 0 when nothing came within the limit and the wait was called off).
inline uint32_t EventsAfter(api::Handle h, uint32_t mask, const std::function<void()>& cause,
                            std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    if (!api::SetCommMask(h, mask)) return 0xFFFFFFFFu;
    cause();
    auto wait = std::async(std::launch::async, [h] {
        uint32_t events = 0;
        return api::WaitCommEvent(h, &events) ? events : 0xFFFFFFFFu;
    });
    if (wait.wait_for(limit) != std::future_status::ready) api::SetCommMask(h, mask);
    return wait.get();
}

// A read of up to `length` bytes on its own thread; the future gives the count returned.
inline std::future<uint32_t> ReadAsync(api::Handle h, uint32_t length) {
    return std::async(std::launch::async, [h, length] {
        std::vector<uint8_t> buffer(length);
        uint32_t done = 0xFFFFFFFFu;
        api::Read(h, buffer.data(), length, &done);
        return done;
    });
}

inline plat::ComStatRecord Status(api::Handle h, uint32_t* errors = nullptr) {
    plat::ComStatRecord status{};
    uint32_t e = 0;
    EXPECT_TRUE(api::ClearCommError(h, &e, &status));
    if (errors != nullptr) *errors = e;
    return status;
}

}  // namespace e2e
