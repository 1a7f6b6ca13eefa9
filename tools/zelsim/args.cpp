#include "tools/zelsim/args.h"

#include <sys/resource.h>

#include <cerrno>

#include "sim/registry/registry.h"

namespace zelsim {

bool Args::Value(const std::string& flag, std::string* value, std::string* error) {
    if (Done()) {
        *error = flag + " needs a value";
        return false;
    }
    *value = Next();
    return true;
}

bool Args::Number(const std::string& flag, uint64_t min, uint64_t max, uint64_t* value,
                  std::string* error) {
    std::string text;
    if (!Value(flag, &text, error)) return false;
    uint64_t n = 0;
    bool ok = !text.empty() && text.size() <= 12;
    for (char c : text) {
        if (c < '0' || c > '9') ok = false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!ok || n < min || n > max) {
        *error =
            flag + " takes a number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    *value = n;
    return true;
}

std::u16string DeviceName(const std::string& text) {
    std::string name = text;
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    if (name.empty() || name.back() != ':') name += ':';
    return sim::reg::FromUtf8(name);
}

bool ParseFrameAssignment(const std::string& text, std::map<std::string, Frame>* frames,
                          std::string* error) {
    size_t eq = text.find('=');
    std::optional<Frame> frame =
        eq == std::string::npos ? std::nullopt : ParseFrame(text.substr(eq + 1));
    if (eq == 0 || !frame) {
        *error = "--frame takes PORT=FRAME, like COM3=7E1";
        return false;
    }
    (*frames)[sim::reg::ToUtf8(DeviceName(text.substr(0, eq)))] = *frame;
    return true;
}

bool RaisePriority() {
    constexpr int kNice = -10;
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) return false;
    if (now <= kNice) return true;
    // Threads take their nice value from the thread that creates them.
    return setpriority(PRIO_PROCESS, 0, kNice) == 0;
}

}  // namespace zelsim
