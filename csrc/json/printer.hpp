// The indented JSON printer: two spaces per level, one member per line, ": " after keys, no line break at
// either end.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace tovak::json {

// Appends the indented text of `value` to `out`. Strings escape only the quotation mark, the backslash
// and the bytes below 0x20; every other byte, non-ASCII text included, is written unchanged.
void print_indented(const Value& value, std::string& out);

// Appends `text` (UTF-8) as a JSON string in the same form: the quotation mark, the backslash and the bytes
// below 0x20 escaped (\b \t \n \f \r, else \u00xx), every other byte unchanged, as Python's
// `json.dumps(text, ensure_ascii=False)` writes it.
void print_string(std::string_view text, std::string& out);

}  // namespace tovak::json
