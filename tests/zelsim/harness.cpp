#include "tests/zelsim/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zelsim_test {
namespace {

// zelsim raises its own priority so that its simulated interrupts keep up on a busy machine
// (tools/zelsim/args.h). The programs at the other ends of its terminals, this test's threads
// among them, get the same (when allowed), or a busy machine starves them instead and a
// protocol's time-outs, not the code under test, decide the outcome. Set before main, so that
// every thread of the test inherits it.
constexpr int kNice = -10;
const bool kRaised = setpriority(PRIO_PROCESS, 0, kNice) == 0;

}  // namespace

std::string ZelsimBinary() {
    return ZELSIM_BINARY;
}
std::string MachinesDir() {
    return ZELSIM_MACHINES_DIR;
}
std::string ScriptsDir() {
    return ZELSIM_SCRIPTS_DIR;
}

Child::~Child() {
    if (pid_ > 0 && status_ < 0) Stop(SIGKILL, 10s);
    if (out_.joinable()) out_.join();
    if (err_.joinable()) err_.join();
}

bool Child::Start(const std::vector<std::string>& argv, const std::string& ttyPath,
                  const std::string& cwd) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        // The child: its own session, so that a signal to the test reaches it only through
        // Stop, and so that the scheduler weighs it as a job of its own (with autogrouping the
        // test's session shares its CPU time among everything in it).
        setsid();
        int in = ttyPath.empty() ? open("/dev/null", O_RDONLY)
                                 : open(ttyPath.c_str(), O_RDWR | O_NOCTTY);
        if (in < 0) _exit(126);
        dup2(in, 0);
        dup2(ttyPath.empty() ? out[1] : in, 1);
        dup2(err[1], 2);
        if (in > 2) close(in);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (kRaised) setpriority(PRIO_PROCESS, 0, kNice);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = std::thread([this, fd = out[0]] { Reader(fd, false); });
    err_ = std::thread([this, fd = err[0]] { Reader(fd, true); });
    return true;
}

void Child::Reader(int fd, bool isStderr) {
    std::string partial;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        partial.append(buffer, static_cast<size_t>(n));
        size_t nl;
        while ((nl = partial.find('\n')) != std::string::npos) {
            lines_[isStderr].push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
        }
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard lock(mutex_);
    if (!partial.empty()) lines_[isStderr].push_back(partial);
    closed_[isStderr] = true;
    changed_.notify_all();
}

std::optional<std::vector<std::string>> Child::WaitLine(const std::string& pattern, bool fromStderr,
                                                        std::chrono::milliseconds limit) {
    const std::regex re(pattern);
    const auto end = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    size_t seen = 0;
    for (;;) {
        const auto& lines = lines_[fromStderr];
        for (; seen < lines.size(); ++seen) {
            std::smatch m;
            if (std::regex_search(lines[seen], m, re))
                return std::vector<std::string>(m.begin(), m.end());
        }
        if (closed_[fromStderr]) return std::nullopt;
        if (changed_.wait_until(lock, end) == std::cv_status::timeout) return std::nullopt;
    }
}

std::map<std::string, std::string> Child::WaitMappings(size_t ports, size_t wires) {
    std::map<std::string, std::string> found;
    const std::regex com(R"(^(COM[0-9]+:) -> (\S+))");
    const std::regex wire(R"(^(\S+) wire -> (.+?)( \(.*\))?$)");
    const auto end = std::chrono::steady_clock::now() + kStartLimit;
    std::unique_lock lock(mutex_);
    for (;;) {
        size_t p = 0, w = 0;
        found.clear();
        for (const std::string& line : lines_[0]) {
            std::smatch m;
            if (std::regex_search(line, m, com)) {
                found[m[1]] = m[2];
                ++p;
            } else if (std::regex_search(line, m, wire)) {
                found[m[1]] = m[2];
                ++w;
            }
        }
        if ((p >= ports && w >= wires) || closed_[0]) return found;
        if (changed_.wait_until(lock, end) == std::cv_status::timeout) return found;
    }
}

int Child::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (status_ < 0) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > end) return -1;
        usleep(10000);
    }
    if (out_.joinable()) out_.join();
    if (err_.joinable()) err_.join();
    return status_;
}

int Child::Stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    if (status_ < 0) kill(pid_, signal);
    int code = Wait(limit);
    if (code < 0) {
        kill(pid_, SIGKILL);
        Wait(10s);
    }
    return code;
}

std::string Child::Stdout() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& l : lines_[0]) text += l + "\n";
    return text;
}

std::string Child::Stderr() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& l : lines_[1]) text += l + "\n";
    return text;
}

// ---------------------------------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/zelsim-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool HaveProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::string PythonWithSerial() {
    for (const char* python : {"python3", "/usr/bin/python3"}) {
        if (!HaveProgram(python)) continue;
        Child probe;
        if (!probe.Start({python, "-c", "import serial"})) continue;
        if (probe.Wait(30s) == 0) return python;
    }
    return "";
}

// ---------------------------------------------------------------------------------------------

Terminal::Terminal(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    Set([](termios& t) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
    });
}

Terminal::~Terminal() {
    if (fd_ >= 0) close(fd_);
}

bool Terminal::WriteAll(const std::string& bytes) {
    size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() > end) return false;
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

std::string Terminal::Read(size_t n, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) <= 0) continue;
        ssize_t r = read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0) got.append(buffer, static_cast<size_t>(r));
    }
    return got;
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::string bytes(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

}  // namespace zelsim_test
