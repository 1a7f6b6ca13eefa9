// The .reg reader on arbitrary bytes. A file either parses into operations or is refused with
// a message that names the source and a line of the file; a file that parses applies, and the
// tree it builds (unless a name cannot be written as text) exports to a file that parses again
// and rebuilds the very same tree.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "sim/registry/registry.h"

namespace {

[[noreturn]] void Fault(const std::string& what) {
    std::fprintf(stderr, "reg_file_fuzz: %s\n", what.c_str());
    std::abort();
}

size_t LineCount(std::span<const uint8_t> bytes) {
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
}

// "fuzz.reg:<line>: ..." with 1 <= line <= lines.
bool NamesALine(const std::string& error, size_t lines) {
    constexpr std::string_view kSource = "fuzz.reg:";
    if (error.compare(0, kSource.size(), kSource) != 0) return false;
    size_t at = kSource.size();
    size_t line = 0;
    size_t digits = 0;
    while (at < error.size() && error[at] >= '0' && error[at] <= '9' && digits < 12) {
        line = line * 10 + static_cast<size_t>(error[at++] - '0');
        ++digits;
    }
    return digits > 0 && line >= 1 && line <= lines && error.compare(at, 2, ": ") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace reg = sim::reg;
    const std::span<const uint8_t> bytes(data, size);
    const reg::ParseResult parsed = reg::ParseRegText(bytes, "fuzz.reg");
    if (!parsed.ok) {
        if (!parsed.ops.empty()) Fault("a refused file still produced operations");
        // A UTF-16 file counts its lines in characters; any line number up to the byte count
        // is then plausible.
        if (!NamesALine(parsed.error, std::max(LineCount(bytes), size)))
            Fault("refusal without source and line: " + parsed.error);
        return 0;
    }
    for (const reg::Op& op : parsed.ops) {
        if (op.line < 1 || op.line > std::max(LineCount(bytes), size))
            Fault("operation from line " + std::to_string(op.line));
    }

    reg::ClearAll();
    reg::ApplyOps(parsed.ops);
    const reg::ExportResult first = reg::ExportRegText();
    if (!first.ok) {
        if (first.error.find("cannot hold") == std::string::npos)
            Fault("export failed: " + first.error);
        reg::ClearAll();
        return 0;
    }
    reg::ClearAll();
    const reg::Status again = reg::ImportRegText(first.text, "exported.reg");
    if (!again.ok) Fault("exported text does not import: " + again.error + "\n" + first.text);
    const reg::ExportResult second = reg::ExportRegText();
    if (!second.ok || second.text != first.text) {
        Fault("import of the export built another tree:\n" + first.text + "----\n" +
              second.text);
    }
    reg::ClearAll();
    return 0;
}
