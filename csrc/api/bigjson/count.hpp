// count(path, format=None): the number of top-level records, found by a byte scan that never parses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "api/frame.hpp"
#include "json/scan.hpp"

namespace tovak::bigjson {

extern PyMethodDef count_method;

// What count gives for text in memory, read in pieces of the given sizes taken in turn (as much as each read
// asks for when there are none) and scanned with the byte classifier of the given level. The interpreter
// is not needed: the native tests check every level with these. The line count is empty when the text is
// not valid UTF-8.
std::uint64_t count_elements_in(std::string_view text, std::span<const std::size_t> pieces, json::SimdLevel level);
std::optional<std::uint64_t> count_lines_in(std::string_view text, std::span<const std::size_t> pieces,
                                            json::SimdLevel level);

}  // namespace tovak::bigjson
