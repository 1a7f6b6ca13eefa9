// Needs a static constructor, a guarded local static and an exit handler: what the driver
// libraries must never need.
#include <string>

namespace {
int Compute() {
    return static_cast<int>(std::string("dynamic").size());
}
int gValue = Compute();
}  // namespace

extern "C" int SampleValue() {
    static std::string cached = std::to_string(gValue);
    return static_cast<int>(cached.size());
}
