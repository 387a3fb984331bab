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
// Thread rule: a pure function.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tovak::json {

enum class TextKind { json, jsonl };

// `window` is the start of the text (a UTF-8 byte-order mark already removed); `complete` is true when
// it is the whole text. Nothing when a longer window is needed to tell.
std::optional<TextKind> detect_text_kind(std::string_view window, bool complete) noexcept;

}  // namespace tovak::json
