// The driver libraries: exactly the exported symbols each one promises, no dynamic
// initialisation, and the adapter entry points that do nothing.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "platform/stream.h"
#include "sim/kernel/sim_kernel.h"

namespace {

std::string Run(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    *status = pclose(pipe);
    return out;
}

// Names of the dynamic symbols a library defines.
std::set<std::string> ExportedSymbols(const char* library) {
    int status = 0;
    const std::string out =
        Run(std::string(ZEL_TEST_NM) + " -D --defined-only " + library, &status);
    EXPECT_EQ(status, 0) << out;
    std::set<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string value, type, name;
        if (!(fields >> value >> type >> name)) continue;
        // The version node the script defines is not a symbol of the code.
        if (type == "A") continue;
        names.insert(name.substr(0, name.find('@')));
    }
    return names;
}

std::set<std::string> ExpectedSymbols(std::initializer_list<const char*> families) {
    std::set<std::string> names = {"Init",     "Deinit",    "Open",      "Close",   "Read",
                                   "Write",    "Seek",      "IOControl", "PowerUp", "PowerDown",
                                   "PreClose", "PreDeinit", "DllEntry"};
    for (const char* family : families) {
        for (const char* entry : {"Init", "Deinit", "Open", "Close", "Read", "Write", "Seek",
                                  "IOControl", "PowerUp", "PowerDown"})
            names.insert(std::string(family) + "_" + entry);
    }
    return names;
}

struct LibraryCase {
    const char* path;
    std::initializer_list<const char*> families;
};

TEST(DriverLibraries, EachExportsExactlyItsEntryPoints) {
    const LibraryCase cases[] = {
        {ZEL_TEST_ZELSER, {"KAP", "KOR", "KUM"}},
        {ZEL_TEST_ZELKOR, {"KOR"}},
    };
    for (const LibraryCase& c : cases) {
        EXPECT_EQ(ExportedSymbols(c.path), ExpectedSymbols(c.families)) << c.path;
    }
}

int CheckStaticInit(const char* library, std::string* out) {
    int status = 0;
    *out = Run(std::string(ZEL_TEST_CMAKE) + " -DLIBRARY=" + library + " -DNM=" + ZEL_TEST_NM +
                   " -P " + ZEL_TEST_CHECK_SCRIPT,
               &status);
    return status;
}

TEST(DriverLibraries, NeedNoDynamicInitialisation) {
    std::string out;
    EXPECT_EQ(CheckStaticInit(ZEL_TEST_ZELSER, &out), 0) << out;
    EXPECT_EQ(CheckStaticInit(ZEL_TEST_ZELKOR, &out), 0) << out;
}

TEST(DriverLibraries, StaticInitCheckNoticesEachKindOfDynamicInitialisation) {
    std::string out;
    EXPECT_NE(CheckStaticInit(ZEL_TEST_DYNINIT_SAMPLE, &out), 0);
    EXPECT_NE(out.find("_GLOBAL__sub_I_"), std::string::npos) << out;
    EXPECT_NE(out.find("__cxa_atexit"), std::string::npos) << out;
    EXPECT_NE(out.find("__cxa_guard_acquire"), std::string::npos) << out;
}

class LoadedLibrary {
  public:
    explicit LoadedLibrary(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedLibrary() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    void* handle() const { return handle_; }
    template <typename Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }

  private:
    void* handle_;
};

// Loading a library and calling its entry point runs nothing that creates anything.
TEST(DriverLibraries, LibraryEntryReportsSuccessForEveryReason) {
    const size_t handles = sim::LiveHandles().size();
    for (const char* path : {ZEL_TEST_ZELSER, ZEL_TEST_ZELKOR}) {
        LoadedLibrary lib(path);
        ASSERT_NE(lib.handle(), nullptr) << dlerror();
        auto entry = lib.Get<plat::DllEntryFn>("DllEntry");
        ASSERT_NE(entry, nullptr);
        for (uint32_t reason : {1u, 2u, 3u, 0u}) {
            EXPECT_EQ(entry(lib.handle(), reason, nullptr), 1) << path << " reason " << reason;
        }
    }
    EXPECT_EQ(sim::LiveHandles().size(), handles);
}

TEST(DriverLibraries, AdapterDevicesCannotBeUsedAsStreams) {
    LoadedLibrary lib(ZEL_TEST_ZELSER);
    ASSERT_NE(lib.handle(), nullptr) << dlerror();
    int dummy = 0;
    for (const char* family : {"KAP", "KOR", "KUM"}) {
        const std::string f(family);
        SCOPED_TRACE(f);
        auto open = lib.Get<plat::StreamOpenFn>((f + "_Open").c_str());
        auto close = lib.Get<plat::StreamCloseFn>((f + "_Close").c_str());
        auto read = lib.Get<plat::StreamReadFn>((f + "_Read").c_str());
        auto write = lib.Get<plat::StreamWriteFn>((f + "_Write").c_str());
        auto seek = lib.Get<plat::StreamSeekFn>((f + "_Seek").c_str());
        auto ioctl = lib.Get<plat::StreamIoControlFn>((f + "_IOControl").c_str());
        auto deinit = lib.Get<plat::StreamDeinitFn>((f + "_Deinit").c_str());
        auto powerUp = lib.Get<plat::StreamPowerFn>((f + "_PowerUp").c_str());
        auto powerDown = lib.Get<plat::StreamPowerFn>((f + "_PowerDown").c_str());
        ASSERT_TRUE(open && close && read && write && seek && ioctl && deinit && powerUp &&
                    powerDown);
        EXPECT_EQ(open(&dummy, 0xC0000000u, 3), nullptr);
        EXPECT_EQ(open(nullptr, 0, 0), nullptr);
        EXPECT_EQ(close(&dummy), 0);
        EXPECT_EQ(read(&dummy, &dummy, sizeof dummy), 0xFFFFFFFFu);
        EXPECT_EQ(read(nullptr, nullptr, 0), 0xFFFFFFFFu);
        EXPECT_EQ(write(&dummy, &dummy, sizeof dummy), 0xFFFFFFFFu);
        EXPECT_EQ(seek(&dummy, 5, 1), 0xFFFFFFFFu);
        uint32_t actual = 7;
        EXPECT_EQ(ioctl(&dummy, 0x1B0004, nullptr, 0, nullptr, 0, &actual), 0);
        EXPECT_EQ(actual, 7u);
        EXPECT_EQ(deinit(nullptr), 0);
        powerUp(&dummy);
        powerDown(&dummy);
    }
    EXPECT_EQ(dummy, 0);
}

}  // namespace
