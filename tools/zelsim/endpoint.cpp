#include "tools/zelsim/endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/hw/uart.h"

namespace zelsim {
namespace {

constexpr int kIdlePollMs = 20;  // how often attachment is looked at when nothing happens

class PtyLine : public Transport {
  public:
    bool Open(std::string* error) { return pty_.Open(error); }
    std::string Where() const override { return pty_.SlaveName(); }
    int DataFd() const override { return pty_.MasterFd(); }
    bool Attached() const override { return pty_.Attached(); }

  private:
    Pty pty_;
};

class TcpLine : public Transport {
  public:
    explicit TcpLine(Console* console) : console_(console) {}
    ~TcpLine() override {
        if (client_ >= 0) close(client_);
        if (listen_ >= 0) close(listen_);
    }

    bool Listen(uint16_t port, std::string* error) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listen_ < 0) return Fail("socket", error);
        int on = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return Fail("cannot listen on 127.0.0.1:" + std::to_string(port), error);
        if (listen(listen_, 1) != 0) return Fail("listen", error);
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        return true;
    }

    std::string Where() const override { return "tcp 127.0.0.1:" + std::to_string(port_); }
    int DataFd() const override { return client_; }
    bool Attached() const override { return client_ >= 0; }
    int ControlFd() const override { return listen_; }

    void OnControlReadable() override {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (client_ >= 0) {
            // One far end per wire.
            close(fd);
            if (console_ != nullptr) console_->Info(Where() + ": refused a second connection");
            return;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        client_ = fd;
    }

    void Drop() override {
        if (client_ >= 0) close(client_);
        client_ = -1;
    }

  private:
    bool Fail(const std::string& what, std::string* error) {
        if (error != nullptr) *error = what + ": " + std::strerror(errno);
        return false;
    }

    Console* console_;
    int listen_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<Transport> PtyTransport(std::string* error) {
    auto line = std::make_unique<PtyLine>();
    if (!line->Open(error)) return nullptr;
    return line;
}

std::unique_ptr<Transport> TcpTransport(uint16_t port, Console* console, std::string* error) {
    auto line = std::make_unique<TcpLine>(console);
    if (!line->Listen(port, error)) return nullptr;
    return line;
}

// ---------------------------------------------------------------------------------------------

StreamLine::StreamLine(std::unique_ptr<Transport> transport, std::string label)
    : transport_(std::move(transport)), label_(std::move(label)) {}

StreamLine::~StreamLine() {
    Stop();
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool StreamLine::Start(sim::ExternalWire* wire, std::string* error) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    wire_ = wire;
    SetLines(transport_->Attached());
    running_ = true;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void StreamLine::Stop() {
    if (!running_.exchange(false)) return;
    Wake();
    thread_.join();
}

StreamLine::Counters StreamLine::Read() const {
    std::lock_guard lock(mutex_);
    Counters c = counters_;
    c.attached = attached_;
    return c;
}

void StreamLine::OnTransmit(std::span<const sim::LineSymbol> symbols) {
    {
        std::lock_guard lock(mutex_);
        for (const sim::LineSymbol& s : symbols) {
            if (s.flags & sim::kSymbolBreak) {
                ++counters_.breaks;
            } else if (!attached_ || queue_.size() >= kMaxQueued) {
                ++counters_.lost;
            } else {
                queue_.push_back(s.data);
            }
        }
    }
    Wake();
}

void StreamLine::OnControlLines(sim::ControlLines) {
    Wake();
}

void StreamLine::Wake() {
    if (wakeFd_ < 0) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void StreamLine::SetLines(bool attached) {
    size_t queued;
    {
        std::lock_guard lock(mutex_);
        if (!attached && !queue_.empty()) {
            counters_.lost += queue_.size();
            queue_.clear();
        }
        queued = queue_.size();
    }
    attached_ = attached;
    if (!attached || queued >= kHighWater) {
        cts_ = false;
    } else if (queued <= kLowWater) {
        cts_ = true;
    }
    sim::ModemLines lines{.cts = attached && cts_, .dsr = attached, .ri = false, .dcd = attached};
    if (!shownValid_ || !(lines == shown_)) {
        wire_->SetModemLines(lines);
        shown_ = lines;
        shownValid_ = true;
    }
}

void StreamLine::PumpToProgram(int fd) {
    std::vector<uint8_t> chunk;
    {
        std::lock_guard lock(mutex_);
        size_t n = std::min<size_t>(queue_.size(), 4096);
        chunk.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (chunk.empty()) return;
    ssize_t done = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (done < 0 && errno == ENOTSOCK) done = write(fd, chunk.data(), chunk.size());
    if (done < 0) {
        if (errno != EAGAIN && errno != EINTR) transport_->Drop();
        return;
    }
    std::lock_guard lock(mutex_);
    size_t n = std::min(static_cast<size_t>(done), queue_.size());
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    counters_.fromUart += n;
}

void StreamLine::PumpToUart(int fd, size_t room) {
    uint8_t buffer[kInFlight];
    ssize_t n = read(fd, buffer, std::min(room, sizeof buffer));
    if (n > 0) {
        wire_->Send(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
        std::lock_guard lock(mutex_);
        counters_.toUart += static_cast<uint64_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) {
        transport_->Drop();  // end of file or a broken connection
    }
}

void StreamLine::Run() {
    while (running_) {
        const bool attached = transport_->Attached();
        SetLines(attached);
        const int dataFd = transport_->DataFd();
        const bool rts = wire_->UartControlLines().rts;
        const size_t pending = wire_->PendingToUart();
        bool queued;
        {
            std::lock_guard lock(mutex_);
            queued = !queue_.empty();
        }

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeFd_, POLLIN, 0};
        const int controlAt = transport_->ControlFd() >= 0 ? static_cast<int>(count) : -1;
        if (controlAt >= 0) fds[count++] = {transport_->ControlFd(), POLLIN, 0};
        int dataAt = -1;
        const bool mayRead = attached && rts && pending < kInFlight;
        // A pseudo-terminal nobody has open reports a hang-up at once: not worth a poll.
        if (dataFd >= 0 && attached) {
            short events = static_cast<short>((mayRead ? POLLIN : 0) | (queued ? POLLOUT : 0));
            dataAt = static_cast<int>(count);
            fds[count++] = {dataFd, events, 0};
        }
        int timeout = kIdlePollMs;
        if (attached && rts && pending >= kInFlight) {
            // Wait for about half of what is on its way to arrive.
            auto uart = wire_->UartEnd();
            int64_t charPs = uart ? uart->CharacterTime() : 0;
            int64_t ms = charPs * static_cast<int64_t>(pending - kInFlight / 2) / 1'000'000'000;
            timeout = static_cast<int>(std::clamp<int64_t>(ms, 1, kIdlePollMs));
        }
        if (poll(fds, count, timeout) < 0 && errno != EINTR) break;

        // What a program wrote just before it closed the pseudo-terminal is still there.
        if (!attached && dataFd >= 0 && rts && pending < kInFlight)
            PumpToUart(dataFd, kInFlight - pending);
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &v, sizeof v);
        }
        if (controlAt >= 0 && (fds[controlAt].revents & POLLIN)) transport_->OnControlReadable();
        if (dataAt >= 0) {
            short r = fds[dataAt].revents;
            if (r & POLLOUT) PumpToProgram(dataFd);
            if ((r & POLLIN) && mayRead) PumpToUart(dataFd, kInFlight - pending);
            // A hang-up of the pseudo-terminal is what Attached() reports; a socket's means
            // the client is gone.
            if ((r & (POLLERR | POLLHUP)) && !(r & POLLIN) && transport_->ControlFd() >= 0)
                transport_->Drop();
        }
    }
}

}  // namespace zelsim
