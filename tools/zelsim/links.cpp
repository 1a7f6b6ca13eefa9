#include "tools/zelsim/links.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace zelsim {
namespace {

constexpr char kLockName[] = ".zelsim.lock";
constexpr std::string_view kPtsPrefix = "/dev/pts/";

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool MakeDirs(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at == dir.size() || dir[at] == '/') {
            std::string part = dir.substr(0, at);
            if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool LinkDir::IsLinkName(const std::string& name) {
    std::string_view n = name;
    if (n.size() > 3 && n.substr(0, 3) == "COM" && AllDigits(n.substr(3))) return true;
    size_t dot = n.rfind(".Port");
    return dot != std::string_view::npos && dot > 0 && AllDigits(n.substr(dot + 5));
}

std::string LinkDir::WireLinkName(const std::string& card, unsigned port) {
    std::string name = card;
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return name + ".Port" + std::to_string(port);
}

LinkDir::~LinkDir() {
    for (const std::string& path : made_) unlink(path.c_str());
    if (lockFd_ >= 0) {
        unlink((dir_ + "/" + kLockName).c_str());
        close(lockFd_);
    }
}

bool LinkDir::Open(const std::string& dir, std::string* error) {
    dir_ = dir;
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    if (!MakeDirs(dir_)) {
        *error = "cannot create " + dir_ + ": " + std::strerror(errno);
        return false;
    }
    const std::string lockPath = dir_ + "/" + kLockName;
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
        std::string who = n > 0 ? std::string(pid, static_cast<size_t>(n)) : "";
        while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
        *error = dir_ + " is in use by another zelsim" + (who.empty() ? "" : " (pid " + who + ")");
        close(fd);
        return false;
    }
    lockFd_ = fd;
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t w = pwrite(fd, pid.data(), pid.size(), 0);
    }

    // Whatever links are here belong to a zelsim that has ended.
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (!IsLinkName(name)) continue;
            std::string path = dir_ + "/" + name;
            char target[256];
            ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;  // not a link
            if (std::string_view(target, static_cast<size_t>(n)).substr(0, kPtsPrefix.size()) !=
                kPtsPrefix)
                continue;
            if (unlink(path.c_str()) == 0) removed_.push_back(path);
        }
        closedir(d);
    }
    return true;
}

std::string LinkDir::Link(const std::string& name, const std::string& target, std::string* error) {
    const std::string path = dir_ + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        char old[256];
        ssize_t n = S_ISLNK(st.st_mode) ? readlink(path.c_str(), old, sizeof old - 1) : -1;
        if (n <= 0 || std::string_view(old, static_cast<size_t>(n)).substr(0, kPtsPrefix.size()) !=
                          kPtsPrefix) {
            *error = path + " exists and is not a link to a pseudo-terminal";
            return "";
        }
        unlink(path.c_str());
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        *error = "cannot link " + path + ": " + std::strerror(errno);
        return "";
    }
    made_.push_back(path);
    return path;
}

}  // namespace zelsim
