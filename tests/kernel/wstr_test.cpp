// Wide strings: comparison, bounded copy, the formatter, UTF conversions.

#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "platform/kernel.h"
#include "sim/kernel/wstr_util.h"

namespace {

using namespace plat;

TEST(WStrTest, LengthAndComparison) {
    EXPECT_EQ(WStrLen(u""), 0u);
    EXPECT_EQ(WStrLen(u"COM1:"), 5u);
    EXPECT_EQ(WStrCmp(u"abc", u"abc"), 0);
    EXPECT_LT(WStrCmp(u"abc", u"abd"), 0);
    EXPECT_GT(WStrCmp(u"abcd", u"abc"), 0);
    EXPECT_LT(WStrCmp(u"ab", u"\u00e9"), 0);  // compared as unsigned characters
    EXPECT_NE(WStrCmp(u"Dll", u"dll"), 0);
    EXPECT_EQ(WStrICmp(u"Prefix", u"PREFIX"), 0);
    EXPECT_EQ(WStrICmp(u"isr16550.dll", u"ISR16550.DLL"), 0);
    EXPECT_LT(WStrICmp(u"A", u"b"), 0);
    EXPECT_GT(WStrICmp(u"Z", u"a"), 0);
    EXPECT_NE(WStrICmp(u"\u00c4", u"\u00e4"), 0);  // only ASCII letters fold
    EXPECT_NE(WStrICmp(u"[", u"{"), 0);
}

TEST(WStrTest, CopyNIsBoundedAndAlwaysTerminates) {
    struct Case {
        size_t count;
        const char16_t* expected;
    };
    for (const Case& c : {Case{1, u""}, Case{3, u"CO"}, Case{6, u"COM1:"}, Case{32, u"COM1:"}}) {
        char16_t buffer[40];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        EXPECT_EQ(WStrCopyN(buffer, u"COM1:", c.count), buffer);
        EXPECT_TRUE(sim::WStrEq(buffer, c.expected)) << c.count << ": " << sim::ToUtf8(buffer);
        EXPECT_EQ(buffer[c.count], u'#') << "wrote past count " << c.count;
    }
    char16_t untouched[2] = {u'#', u'#'};
    WStrCopyN(untouched, u"x", 0);
    EXPECT_EQ(untouched[0], u'#');
}

// One formatter case: the call, the buffer size it gets, what it must produce.
struct FormatCase {
    const char* name;
    size_t count;
    std::function<int(char16_t*, size_t)> format;
    const char16_t* expected;  // null: must not fit
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, ProducesExactText) {
    const FormatCase& c = GetParam();
    char16_t buffer[128];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    const int n = c.format(buffer, c.count);
    if (c.expected == nullptr) {
        EXPECT_LT(n, 0);
        if (c.count > 0) {
            EXPECT_EQ(buffer[c.count - 1], 0) << "not terminated";
        }
    } else {
        EXPECT_EQ(sim::ToUtf8(buffer), sim::ToUtf8(c.expected));
        EXPECT_EQ(n, static_cast<int>(WStrLen(c.expected)));
    }
    EXPECT_EQ(buffer[c.count], u'#') << "wrote past the buffer";
}

#define FMT(...) [](char16_t* b, size_t n) { return WStrFormatN(b, n, __VA_ARGS__); }

constexpr const char16_t* kPortKey = u"Drivers\\ZELSer\\FAM_%s&BID_%02d&PID_%02d";
constexpr const char16_t* kCable = u"Serial Cable on %5s";

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatTest,
    ::testing::Values(
        FormatCase{"Width5With4", 22, FMT(kCable, u"COM1"), u"Serial Cable on  COM1"},
        FormatCase{"Width5With5", 22, FMT(kCable, u"COM12"), u"Serial Cable on COM12"},
        FormatCase{"Width5With6DoesNotFit", 22, FMT(kCable, u"COM123"), nullptr},
        FormatCase{"Width5With6Roomy", 23, FMT(kCable, u"COM123"), u"Serial Cable on COM123"},
        FormatCase{"PadOne", 8, FMT(u"%02d", 1), u"01"},
        FormatCase{"PadTwelve", 8, FMT(u"%02d", 12), u"12"},
        FormatCase{"PadHundred", 8, FMT(u"%02d", 100), u"100"},
        FormatCase{"PadNegative", 8, FMT(u"%03d", -5), u"-05"},
        FormatCase{"SpacePad", 8, FMT(u"%4d|", -5), u"  -5|"},
        FormatCase{"LeftAlign", 16, FMT(u"%-5s|%-3d|", u"ab", 7), u"ab   |7  |"},
        FormatCase{"PortKeyExactFit", 37, FMT(kPortKey, u"KAP", 1, 2),
                   u"Drivers\\ZELSer\\FAM_KAP&BID_01&PID_02"},
        FormatCase{"PortKeyOneShort", 36, FMT(kPortKey, u"KAP", 1, 2), nullptr},
        FormatCase{"PortKeyBoard12", 37, FMT(kPortKey, u"KUM", 12, 8),
                   u"Drivers\\ZELSer\\FAM_KUM&BID_12&PID_08"},
        FormatCase{"PortProp", 16, FMT(u"PortProp%d", 3), u"PortProp3"},
        FormatCase{"IntLimits", 40, FMT(u"%d %d", INT_MIN, INT_MAX), u"-2147483648 2147483647"},
        FormatCase{"Unsigned", 16, FMT(u"%u", 4294967295u), u"4294967295"},
        FormatCase{"Hex", 24, FMT(u"%x/%X/%08x", 0xABCDEFu, 255u, 0x1Fu), u"abcdef/FF/0000001f"},
        FormatCase{"Percent", 8, FMT(u"100%%"), u"100%"},
        FormatCase{"NullString", 16, FMT(u"[%s]", static_cast<const char16_t*>(nullptr)),
                   u"[(null)]"},
        FormatCase{"EmptyFits", 1, FMT(u""), u""},
        FormatCase{"NothingFitsInZero", 0, FMT(u"x"), nullptr},
        FormatCase{"TerminatorDoesNotFit", 3, FMT(u"%d", 123), nullptr},
        FormatCase{"ExactFit", 4, FMT(u"%d", 123), u"123"}),
    [](const auto& info) { return info.param.name; });

TEST(FormatTest, OverflowKeepsAFittingTerminatedPrefix) {
    char16_t buffer[8];
    EXPECT_LT(WStrFormatN(buffer, 6, u"COM%d:", 1234), 0);
    EXPECT_EQ(buffer[5], 0);
    EXPECT_EQ(WStrLen(buffer), 5u);
}

TEST(FormatTest, UnboundedFormatReturnsTheLength) {
    char16_t buffer[64];
    EXPECT_EQ(WStrFormat(buffer, u"%s%d", u"COM", 10), 5);
    EXPECT_TRUE(sim::WStrEq(buffer, u"COM10"));
}

int Forward(char16_t* buffer, size_t count, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = WStrFormatV(buffer, count, format, args);
    va_end(args);
    return n;
}

TEST(FormatTest, VaListFormTakesTheCallersArguments) {
    char16_t buffer[32];
    EXPECT_EQ(Forward(buffer, 32, u"%s=%u", u"Index", 7u), 7);
    EXPECT_TRUE(sim::WStrEq(buffer, u"Index=7"));
    EXPECT_LT(Forward(buffer, 4, u"%s=%u", u"Index", 7u), 0);
}

TEST(Utf8Test, RoundTripsAllPlanes) {
    for (const char* text : {"", "COM1:", "\xc3\x84nderung", "\xe2\x82\xac", "\xf0\x9f\x94\x8c"}) {
        EXPECT_EQ(sim::ToUtf8(sim::ToU16(text)), text);
    }
    EXPECT_EQ(sim::ToU16("\xf0\x9f\x94\x8c"), u"\U0001F50C");
    EXPECT_EQ(sim::ToU16("\xe2\x82\xac"), u"\u20ac");
}

TEST(Utf8Test, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(sim::ToUtf8(std::u16string(1, u'\xD800')), "\xef\xbf\xbd");
    EXPECT_EQ(sim::ToUtf8(u"a\xDC00z"), "a\xef\xbf\xbdz");
    EXPECT_EQ(sim::ToU16("a\xffz"), u"a\uFFFDz");
    EXPECT_EQ(sim::ToU16("\xe2\x82"), u"\uFFFD\uFFFD");  // truncated sequence
    EXPECT_EQ(sim::ToU16("\xc0\xaf"), u"\uFFFD\uFFFD");  // overlong
    EXPECT_EQ(sim::ToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

TEST(WStrEqTest, ComparesWholeStrings) {
    EXPECT_TRUE(sim::WStrEq(u"COM1:", u"COM1:"));
    EXPECT_FALSE(sim::WStrEq(u"COM1", u"COM1:"));
    EXPECT_FALSE(sim::WStrEq(nullptr, u""));
    const char16_t fixed[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(sim::WStrNLen(fixed, 4), 4u);
    EXPECT_EQ(sim::WStrNLen(u"ab", 8), 2u);
}

}  // namespace
