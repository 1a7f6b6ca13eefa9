// "zelsim demo": data from COM1 to COM2 through the whole stack, checked on arrival.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/zelsim/harness.h"

namespace zelsim_test {
namespace {

using ::testing::HasSubstr;

// The default machine with every character lasting four times as long: a receiving UART then
// has four times the slack before its FIFO overruns, which a busy host needs for byte-exact
// runs (the demo checks every byte).
class SlowMachine {
  public:
    SlowMachine() {
        WriteFile(file_,
                  ReadFile(MachinesDir() + "/default.reg") +
                      "\n[HKEY_LOCAL_MACHINE\\Machine]\n\"LineTimePercent\"=dword:00000190\n");
    }
    const std::string& File() const { return file_; }

  private:
    TempDir tmp_;
    std::string file_ = tmp_ / "slow.reg";
};

int RunDemo(const std::vector<std::string>& args, Child* z) {
    static SlowMachine machine;
    std::vector<std::string> all{"demo", "--quiet", "--machine", machine.File()};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_TRUE(z->StartZelsim(all));
    return z->Wait(60s);
}

// Every hand-shake delivers the data intact; a file is sent as it is.
TEST(DemoTest, DataArrivesIntactWithEachHandShake) {
    TempDir tmp;
    WriteFile(tmp / "file", RandomBytes(1500, 3));
    struct Case {
        std::vector<std::string> args;
        const char* expect;
    };
    const Case cases[] = {
        {{"--baud", "38400", "--bytes", "2048"}, "2048 bytes arrived intact"},
        {{"--baud", "38400", "--flow", "rtscts", "--bytes", "2048"}, "2048 bytes arrived intact"},
        {{"--baud", "19200", "--flow", "xonxoff", "--frame", "7E1", "--bytes", "1024"},
         "1024 bytes arrived intact"},
        {{"--baud", "38400", "--file", tmp / "file"}, "1500 bytes arrived intact"},
    };
    for (const Case& c : cases) {
        Child z;
        EXPECT_EQ(RunDemo(c.args, &z), 0) << z.Stdout() << z.Stderr();
        EXPECT_THAT(z.Stdout(), HasSubstr(c.expect));
        EXPECT_EQ(z.Stderr(), "");
    }
}

// A receiver at another speed gets garbage: the demo says where the data first differs and
// which line errors the receiver saw, and fails.
TEST(DemoTest, DifferencesFailTheDemo) {
    Child z;
    EXPECT_EQ(RunDemo({"--baud", "38400", "--rx-baud", "9600", "--bytes", "1024"}, &z), 1);
    EXPECT_THAT(z.Stdout(), HasSubstr("DIFFERENT: "));
    EXPECT_THAT(z.Stdout(), HasSubstr("the first difference is at byte 0"));
    EXPECT_THAT(z.Stdout(), HasSubstr("COM2: reported line errors: "));
    EXPECT_THAT(z.Stdout(), HasSubstr("framing"));
}

// What cannot be sent as asked is refused before anything starts.
TEST(DemoTest, RefusesWhatItCannotSend) {
    TempDir tmp;
    WriteFile(tmp / "flow",
              "a\x11"
              "b");
    struct Case {
        std::vector<std::string> args;
        const char* expect;
    };
    const Case cases[] = {
        {{"--flow", "xonxoff", "--file", tmp / "flow"}, "XON or XOFF"},
        {{"--baud", "1500000"}, "the ports refuse 1500000 baud"},
        {{"--to", "COM9"}, "cannot open COM9:"},
        {{"--flow", "sometimes"}, "--flow takes none, rtscts or xonxoff"},
    };
    for (const Case& c : cases) {
        Child z;
        EXPECT_EQ(RunDemo(c.args, &z), 2) << c.expect;
        EXPECT_THAT(z.Stderr(), HasSubstr(c.expect));
    }
}

}  // namespace
}  // namespace zelsim_test
