// What the zelsim tests share: zelsim run as a child process whose output is read line by
// line, Linux programs run on a terminal, temporary directories, and raw terminals.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace zelsim_test {

using namespace std::chrono_literals;

// A generous limit for anything zelsim does at start-up on a loaded machine.
constexpr auto kStartLimit = 30s;

std::string ZelsimBinary();
std::string MachinesDir();
std::string ScriptsDir();

// zelsim (or any program) as a child, its stdout and stderr read into lines.
class Child {
  public:
    Child() = default;
    ~Child();  // kills the child if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // argv[0] is the program. stdin is /dev/null unless ttyPath names a terminal, which then
    // becomes stdin and stdout. cwd: where it runs ("" for here).
    bool Start(const std::vector<std::string>& argv, const std::string& ttyPath = "",
               const std::string& cwd = "");
    // Runs zelsim with the given arguments.
    bool StartZelsim(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ZelsimBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        return Start(argv);
    }

    // Waits for an output line (stdout, or stderr with fromStderr) matching the pattern; the
    // whole match and its groups, or nothing when the time runs out or the child ends first.
    std::optional<std::vector<std::string>> WaitLine(const std::string& pattern,
                                                     bool fromStderr = false,
                                                     std::chrono::milliseconds limit = kStartLimit);
    // The mappings zelsim prints: "COM1:" -> "/dev/pts/3", "Card1\Port4" -> "/dev/pts/2".
    // Waits for `ports` COM lines and `wires` wire lines.
    std::map<std::string, std::string> WaitMappings(size_t ports, size_t wires = 0);

    // Sends a signal and waits for the end; the exit code, or 128 + signal when killed, or -1
    // when it did not end within the limit.
    int Stop(int signal, std::chrono::milliseconds limit = kStartLimit);
    // Waits for the end (see Stop).
    int Wait(std::chrono::milliseconds limit);

    std::string Stdout() const;
    std::string Stderr() const;
    pid_t Pid() const { return pid_; }

  private:
    void Reader(int fd, bool isStderr);

    pid_t pid_ = -1;
    int status_ = -1;
    std::thread out_, err_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_[2];  // guarded by mutex_
    bool closed_[2] = {false, false};    // guarded by mutex_
};

// A fresh directory below the test's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// Whether a program is found on PATH (or as given).
bool HaveProgram(const std::string& name);
// A Python interpreter that has the serial module, or "".
std::string PythonWithSerial();

// A terminal opened by a test: raw, non-blocking reads with a deadline.
class Terminal {
  public:
    explicit Terminal(const std::string& path);
    ~Terminal();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // Changes the settings: f edits the current termios.
    template <typename F>
    bool Set(F f) {
        termios t;
        if (tcgetattr(fd_, &t) != 0) return false;
        f(t);
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    bool Get(termios* t) const { return tcgetattr(fd_, t) == 0; }
    bool WriteAll(const std::string& bytes);
    // Reads until n bytes have come or the limit passes.
    std::string Read(size_t n, std::chrono::milliseconds limit);

  private:
    int fd_ = -1;
};

// Pseudo-random bytes, different per seed.
std::string RandomBytes(size_t n, uint32_t seed);

}  // namespace zelsim_test
