// A parser sink that builds nothing: parsing into it only checks that a text is valid JSON (the parser's
// errors and positions, json/parser.hpp).
//
// Thread rule: stateless; any thread may use its own.
#pragma once

#include <cstdint>
#include <string_view>

namespace tovak::json {

struct CheckSink {
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool uint(std::uint64_t) { return true; }
    bool sint(std::int64_t) { return true; }
    bool dbl(double) { return true; }
    bool big_integer(std::string_view) { return true; }
    bool string(std::string_view, bool) { return true; }
    bool begin_array() { return true; }
    bool end_array() { return true; }
    bool begin_object() { return true; }
    bool key(std::string_view, bool) { return true; }
    bool end_object() { return true; }
};

}  // namespace tovak::json
