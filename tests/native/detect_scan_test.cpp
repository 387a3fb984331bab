// Telling JSON from JSONL (json/detect.hpp) over a window that grows, as a pipe's bytes arrive: each
// incremental look of one TextKindScan, going on from where the last stopped, must give what a fresh look at
// the same window gives, for random texts (brackets, strings with escapes, line feeds, scalars, white space)
// grown in random pieces, and the final look with the whole text too. An argument replaces the fixed seed.
#include <algorithm>
#include <optional>
#include <string>

#include "json/detect.hpp"
#include "native_check.hpp"

namespace {

using namespace native_check;
using tovak::json::TextKind;
using tovak::json::TextKindScan;

std::string shown(std::optional<TextKind> kind) {
    if (!kind) return "undecided";
    return *kind == TextKind::json ? "json" : "jsonl";
}

// Texts rich in what the scan follows: brackets, quotes, escapes, line feeds and white space.
std::string random_document(Random& random) {
    static constexpr const char* kPieces[] = {"[", "]", "{", "}", "\"", "\\", "\\\"", "\n", " ", "\t", ",", ":",
                                              "1", "-2.5", "true", "ab", "\xC3\xA9", "\r\n"};
    std::string text;
    const std::size_t pieces = random.below(40);
    for (std::size_t i = 0; i < pieces; ++i) text += random.pick(kPieces);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Random random(seed_from(argc, argv, 0x5eed'7e47));
    Report report("detect_scan_test");
    for (int round = 0; round < 200'000; ++round) {
        const std::string text = random_document(random);
        TextKindScan scan;
        std::size_t seen = 0;
        for (;;) {
            seen = std::min(text.size(), seen + random.below(6));
            const bool complete = seen == text.size() && random.percent(50);
            const std::string_view window(text.data(), seen);
            const std::optional<TextKind> grown = scan.look(window, complete);
            const std::optional<TextKind> fresh = tovak::json::detect_text_kind(window, complete);
            report.check(grown == fresh,
                         [&] {
                             return "after " + std::to_string(seen) + " bytes" + (complete ? " (complete)" : "") +
                                    ": grown " + shown(grown) + ", fresh " + shown(fresh);
                         },
                         text);
            if (grown || complete) break;
            if (seen == text.size()) {
                // The text ends: the reader's last look says so.
                report.check(scan.look(text, true) == tovak::json::detect_text_kind(text, true),
                             [&] { return std::string("the last look"); }, text);
                break;
            }
        }
    }
    return report.finish();
}
