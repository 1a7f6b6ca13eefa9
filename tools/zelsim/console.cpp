#include "tools/zelsim/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace zelsim {
namespace {

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

Console::~Console() {
    EndView();
}

void Console::Info(const std::string& line) {
    std::lock_guard lock(mutex_);
    EraseLocked();
    WriteAll(STDOUT_FILENO, line + "\n");
    DrawLocked();
}

void Console::Error(const std::string& line) {
    std::lock_guard lock(mutex_);
    EraseLocked();
    WriteAll(STDERR_FILENO, "zelsim: " + line + "\n");
    DrawLocked();
}

void Console::Draw(const std::vector<std::string>& lines) {
    std::lock_guard lock(mutex_);
    if (!view_) return;
    EraseLocked();
    lines_ = lines;
    DrawLocked();
}

void Console::EndView() {
    std::lock_guard lock(mutex_);
    EraseLocked();
    lines_.clear();
    view_ = false;
}

void Console::EraseLocked() {
    if (!view_ || shown_ == 0) return;
    // Up to the view's first line, then clear to the end of the screen.
    WriteAll(STDOUT_FILENO, "\r\033[" + std::to_string(shown_) + "A\033[J");
    shown_ = 0;
}

void Console::DrawLocked() {
    if (!view_ || lines_.empty()) return;
    // A line wider than the terminal would wrap, and the view would no longer be erased.
    winsize size{};
    size_t width =
        ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 1000;
    std::string text;
    for (const std::string& l : lines_) text += "\033[2K" + l.substr(0, width) + "\n";
    WriteAll(STDOUT_FILENO, text);
    shown_ = lines_.size();
}

}  // namespace zelsim
