// Compaction of JSON text: the white space outside strings removed, everything else byte for byte.
//
// Contract: `text` is one valid JSON value (as the validator or the parser accepted it), so its only white
// space outside strings is space, tab, line feed and carriage return, and no backslash stands outside a
// string. At the AVX2 and AVX-512 levels whole 64-byte blocks are classified with the block classifier and
// the kept bytes packed eight at a time by a byte shuffle from a table, or, where the CPU has AVX-512 VBMI2,
// a block at a time by a byte compression; the other levels, and any text whose strings the masks cannot
// follow, take the byte loop. Every level gives the same bytes.
//
// Thread rule: pure functions over their arguments.
#pragma once

#include <string>
#include <string_view>

#include "json/scan.hpp"

namespace tovak::json {

// `text` without the white space outside its strings, into `out` (replacing what it held).
void compact_text(std::string_view text, std::string& out, SimdLevel level = wide_simd_level());

}  // namespace tovak::json
