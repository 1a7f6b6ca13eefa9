#include "tests/devmgr/probe.h"

namespace tst {

void Probe::Record(const std::string& line) {
    std::lock_guard lock(mu_);
    log_.push_back(line);
}

void Probe::Violation(const std::string& what) {
    std::lock_guard lock(mu_);
    violations_.push_back(what);
}

std::vector<std::string> Probe::Log() {
    std::lock_guard lock(mu_);
    return log_;
}

std::vector<std::string> Probe::Violations() {
    std::lock_guard lock(mu_);
    return violations_;
}

void Probe::Reset() {
    std::lock_guard lock(mu_);
    log_.clear();
    violations_.clear();
    blockCalls = false;
    abortsToIgnore = 0;
    failOpen = false;
    openError = 0;
    attaches = 0;
    detaches = 0;
}

Probe& TheProbe() {
    static Probe* probe = new Probe;
    return *probe;
}

}  // namespace tst
