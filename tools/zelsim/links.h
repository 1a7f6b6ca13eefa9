// Stable names for zelsim's pseudo-terminals: symbolic links in a directory the user chooses
// (--link DIR), "COM1" for a COM port's terminal and "<card>.Port<n>" for a wire's.
//
// One zelsim at a time owns a directory, by an exclusive lock on DIR/.zelsim.lock that the
// kernel drops when the process ends, however it ends. Whoever takes the lock therefore knows
// that the links it finds there are left from a zelsim that is gone, and removes them: every
// symbolic link with one of the names above that points at a pseudo-terminal.
#pragma once

#include <string>
#include <vector>

namespace zelsim {

class LinkDir {
  public:
    LinkDir() = default;
    ~LinkDir();  // removes the links made and the lock file
    LinkDir(const LinkDir&) = delete;
    LinkDir& operator=(const LinkDir&) = delete;

    // Creates the directory when missing, takes it over and clears stale links. False with a
    // reason when it cannot, or when another zelsim (still running) holds it.
    bool Open(const std::string& dir, std::string* error);
    // DIR/name -> target. Returns the link's path, or "" with *error set.
    std::string Link(const std::string& name, const std::string& target, std::string* error);
    // Links removed by Open.
    const std::vector<std::string>& Removed() const { return removed_; }

    // Whether a file name is one zelsim makes.
    static bool IsLinkName(const std::string& name);
    // A card and port as a link name: "Card1.Port4" (slashes in the card name become '_').
    static std::string WireLinkName(const std::string& card, unsigned port);

  private:
    std::string dir_;
    int lockFd_ = -1;
    std::vector<std::string> made_;
    std::vector<std::string> removed_;
};

}  // namespace zelsim
