// Telling JSON from JSONL by the first bytes of a text, for the package's own readers (the module-level
// readers decide by the first byte alone and do not use this).
//
// A JSONL text holds one value per line, so a line feed never appears inside a value outside a string
// (and JSON strings cannot hold a raw line feed). A pretty-printed JSON document does have line feeds
// inside its value. The first value is scanned with a depth count, skipping strings:
//   - a line feed inside the first value: the value spans lines, so the text is JSON;
//   - the first value ends and only white space follows up to the end of the text: JSON (a single value);
//   - the first value ends, and a second significant byte follows on a later line (or the window ends in
//     white space that holds a line feed, with more text to come): JSONL;
//   - anything else after the first value on its own line (`[1] [2]`, a stray byte): JSON, whose strict
//     reading then reports the bytes after the value as an error instead of dropping them;
//   - the window ends before any of this is told: undecided, and the caller looks at a longer window; at
//     its longest window it takes JSON, for the same reason (a JSONL file whose first line is longer than
//     that fails loudly at its second line instead of losing records).
// Thread rule: a scan belongs to one caller; detect_text_kind is a pure function.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tovak::json {

enum class TextKind { json, jsonl };

// A look at a window that grows (a pipe's bytes as they arrive): each look goes on from where the last one
// stopped, so a long first line is scanned once, not once per read.
class TextKindScan {
public:
    // `window` is the start of the text (a UTF-8 byte-order mark already removed), holding at least the
    // bytes of the last look; `complete` is true when it is the whole text. Nothing when a longer window
    // is needed to tell.
    std::optional<TextKind> look(std::string_view window, bool complete) noexcept;

private:
    enum class Phase : unsigned char { leading, value, scalar, after };
    std::size_t looked_ = 0;  // bytes of the window taken in
    Phase phase_ = Phase::leading;
    long long depth_ = 0;
    bool in_string_ = false, escaped_ = false, new_line_ = false;
};

// One look at a whole window.
inline std::optional<TextKind> detect_text_kind(std::string_view window, bool complete) noexcept {
    return TextKindScan().look(window, complete);
}

}  // namespace tovak::json
