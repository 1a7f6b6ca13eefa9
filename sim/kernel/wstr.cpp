// Wide strings: length, comparison, bounded copy, the formatter, and UTF conversions.

#include <climits>
#include <cstdarg>
#include <cstdint>

#include "platform/kernel.h"
#include "sim/kernel/wstr_util.h"

namespace sim {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c;
}

template <typename Fold>
int Compare(const char16_t* a, const char16_t* b, Fold fold) {
    if (a == nullptr) a = u"";
    if (b == nullptr) b = u"";
    for (;; ++a, ++b) {
        const char16_t x = fold(*a);
        const char16_t y = fold(*b);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// Output of the formatter: counts every character, stores what fits with room left for the
// terminator.
class Output {
public:
    Output(char16_t* dst, size_t capacity) : dst_(dst), capacity_(capacity) {}

    void Put(char16_t c) {
        if (count_ + 1 < capacity_) dst_[count_] = c;
        ++count_;
    }
    void Repeat(char16_t c, size_t n) {
        while (n-- > 0) Put(c);
    }
    // Terminates what was stored; returns the length, or -1 when text and terminator did
    // not fit.
    int Finish() {
        if (capacity_ == 0) return -1;
        const bool fits = count_ < capacity_;
        dst_[fits ? count_ : capacity_ - 1] = 0;
        return fits && count_ <= static_cast<size_t>(INT_MAX) ? static_cast<int>(count_) : -1;
    }

private:
    char16_t* const dst_;
    const size_t capacity_;
    size_t count_ = 0;
};

struct Spec {
    bool leftAlign = false;
    bool zeroPad = false;
    size_t width = 0;
    int precision = -1;  // -1: none
    int longs = 0;       // number of 'l' (or 'z'/'j' as long)
    int shorts = 0;      // number of 'h'
};

void PutPadded(Output& out, const Spec& spec, const char16_t* text, size_t length) {
    const size_t pad = spec.width > length ? spec.width - length : 0;
    if (!spec.leftAlign) out.Repeat(u' ', pad);
    for (size_t i = 0; i < length; ++i) out.Put(text[i]);
    if (spec.leftAlign) out.Repeat(u' ', pad);
}

void PutNumber(Output& out, const Spec& spec, bool negative, uint64_t magnitude, unsigned base,
               bool upper) {
    const char* digitsOf = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char16_t>(digitsOf[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    const size_t minDigits = spec.precision > 0 ? static_cast<size_t>(spec.precision) : 1;
    size_t zeros = minDigits > n ? minDigits - n : 0;
    const size_t signWidth = negative ? 1 : 0;
    size_t used = signWidth + zeros + n;
    // '0' pads with zeros after the sign; precision or '-' turn it off, as in C.
    if (spec.zeroPad && !spec.leftAlign && spec.precision < 0 && spec.width > used) {
        zeros += spec.width - used;
        used = spec.width;
    }
    const size_t pad = spec.width > used ? spec.width - used : 0;
    if (!spec.leftAlign) out.Repeat(u' ', pad);
    if (negative) out.Put(u'-');
    out.Repeat(u'0', zeros);
    while (n > 0) out.Put(digits[--n]);
    if (spec.leftAlign) out.Repeat(u' ', pad);
}

int64_t SignedArg(const Spec& spec, va_list& args) {
    if (spec.longs >= 2) return va_arg(args, long long);
    if (spec.longs == 1) return va_arg(args, long);
    const int v = va_arg(args, int);
    if (spec.shorts >= 2) return static_cast<signed char>(v);
    if (spec.shorts == 1) return static_cast<short>(v);
    return v;
}

uint64_t UnsignedArg(const Spec& spec, va_list& args) {
    if (spec.longs >= 2) return va_arg(args, unsigned long long);
    if (spec.longs == 1) return va_arg(args, unsigned long);
    const unsigned v = va_arg(args, unsigned);
    if (spec.shorts >= 2) return static_cast<unsigned char>(v);
    if (spec.shorts == 1) return static_cast<unsigned short>(v);
    return v;
}

size_t ParseDigits(const char16_t*& p) {
    size_t value = 0;
    while (*p >= u'0' && *p <= u'9') value = value * 10 + (*p++ - u'0');
    return value;
}

int Format(char16_t* dst, size_t capacity, const char16_t* format, va_list& args) {
    Output out(dst, dst == nullptr ? 0 : capacity);
    if (format == nullptr) format = u"";
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            out.Put(*p);
            continue;
        }
        const char16_t* start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') {
                spec.leftAlign = true;
            } else if (*p == u'0') {
                spec.zeroPad = true;
            } else {
                break;
            }
        }
        if (*p == u'*') {
            const int w = va_arg(args, int);
            spec.leftAlign |= w < 0;
            spec.width = static_cast<size_t>(w < 0 ? -static_cast<int64_t>(w) : w);
            ++p;
        } else {
            spec.width = ParseDigits(p);
        }
        if (*p == u'.') {
            ++p;
            spec.precision = static_cast<int>(ParseDigits(p));
        }
        for (;; ++p) {
            if (*p == u'l' || *p == u'z' || *p == u'j') {
                ++spec.longs;
            } else if (*p == u'h') {
                ++spec.shorts;
            } else {
                break;
            }
        }
        switch (*p) {
            case u's': {
                const char16_t* s = va_arg(args, const char16_t*);
                if (s == nullptr) s = u"(null)";
                size_t length = 0;
                while (s[length] != 0 &&
                       (spec.precision < 0 || length < static_cast<size_t>(spec.precision))) {
                    ++length;
                }
                PutPadded(out, spec, s, length);
                break;
            }
            case u'c': {
                const char16_t c = static_cast<char16_t>(va_arg(args, int));
                PutPadded(out, spec, &c, 1);
                break;
            }
            case u'd':
            case u'i': {
                const int64_t v = SignedArg(spec, args);
                const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : v;
                PutNumber(out, spec, v < 0, magnitude, 10, false);
                break;
            }
            case u'u':
                PutNumber(out, spec, false, UnsignedArg(spec, args), 10, false);
                break;
            case u'x':
            case u'X':
                PutNumber(out, spec, false, UnsignedArg(spec, args), 16, *p == u'X');
                break;
            case u'%':
                out.Put(u'%');
                break;
            default:
                // Not a conversion this formatter knows: copied as it stands, nothing consumed.
                for (const char16_t* q = start; q < p; ++q) out.Put(*q);
                if (*p == 0) return out.Finish();
                out.Put(*p);
                break;
        }
    }
    return out.Finish();
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(const char16_t* text) {
    return text == nullptr ? std::string() : ToUtf8(std::u16string_view(text));
}

std::u16string ToU16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        char32_t c;
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            extra = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            extra = 2;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead < 0xF5) {
            extra = 3;
            c = lead & 0x07;
        } else {
            extra = 0;
            c = kReplacement;
        }
        bool valid = extra > 0 && i + extra < text.size();
        for (size_t k = 1; valid && k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            valid = (b & 0xC0) == 0x80;
            c = (c << 6) | (b & 0x3F);
        }
        constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (valid && (c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))) {
            valid = false;
        }
        if (!valid) {
            // One replacement per malformed lead byte; resynchronise on the next byte.
            AppendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        AppendUtf16(out, c);
        i += extra + 1;
    }
    return out;
}

bool WStrEq(const char16_t* actual, std::u16string_view expected) {
    return actual != nullptr && std::u16string_view(actual) == expected;
}

size_t WStrNLen(const char16_t* text, size_t capacity) {
    size_t n = 0;
    while (n < capacity && text[n] != 0) ++n;
    return n;
}

}  // namespace sim

namespace plat {

size_t WStrLen(const WChar* s) {
    size_t n = 0;
    if (s != nullptr) {
        while (s[n] != 0) ++n;
    }
    return n;
}

int WStrCmp(const WChar* a, const WChar* b) {
    return sim::Compare(a, b, [](char16_t c) { return c; });
}

int WStrICmp(const WChar* a, const WChar* b) {
    return sim::Compare(a, b, sim::FoldAscii);
}

WChar* WStrCopyN(WChar* dst, const WChar* src, size_t count) {
    if (dst == nullptr || count == 0) return dst;
    size_t n = 0;
    if (src != nullptr) {
        for (; n + 1 < count && src[n] != 0; ++n) dst[n] = src[n];
    }
    dst[n] = 0;
    return dst;
}

int WStrFormat(WChar* dst, const WChar* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = sim::Format(dst, SIZE_MAX, format, args);
    va_end(args);
    return n;
}

int WStrFormatN(WChar* dst, size_t count, const WChar* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = sim::Format(dst, count, format, args);
    va_end(args);
    return n;
}

int WStrFormatV(WChar* dst, size_t count, const WChar* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = sim::Format(dst, count, format, copy);
    va_end(copy);
    return n;
}

}  // namespace plat
