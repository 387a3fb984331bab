// The indented JSON printer: two spaces per level, one member per line, ": " after keys, no line break at
// either end.
#pragma once

#include <string>

#include "json/value.hpp"

namespace tovak::json {

// Appends the indented text of `value` to `out`. Strings escape only the quotation mark, the backslash
// and the bytes below 0x20; every other byte, non-ASCII text included, is written unchanged.
void print_indented(const Value& value, std::string& out);

}  // namespace tovak::json
