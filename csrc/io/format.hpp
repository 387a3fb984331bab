// The two input formats and how one is chosen: by the caller's name for it, by the path's suffix, or by the
// first significant byte of the content (sniffing).
//
// Thread rule: plain functions over plain values; `sniff_format` reads from the caller's reader.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "io/read.hpp"
#include "json/text.hpp"

namespace tovak::io {

enum class Format {
    json,   // one JSON text; a top-level array holds the records
    jsonl,  // one record per non-blank line
};

// What a caller's format name asks for (compared without regard to ASCII case).
enum class FormatName { json, jsonl, detect, unknown };
FormatName format_named(std::string_view lowered_name) noexcept;

// ".jsonl"/".ndjson" give JSONL and ".json" JSON (ASCII case ignored); anything else gives nothing.
std::optional<Format> format_from_suffix(std::string_view path);

// The text with ASCII letters in lower case.
std::string ascii_lower(std::string_view text);

struct SniffOutcome {
    Format format = Format::jsonl;
    std::optional<IoError> error;
};

// JSON when the first byte that is not white space is `[`, JSONL otherwise (an empty input too). Reads
// through `reader` until that byte; every byte read is appended to `kept` when it is given, so a caller
// that cannot reopen the input can hand them back (`BufferedReader::unread`).
template <class Reader>
SniffOutcome sniff_format(Reader& reader, std::string* kept) {
    char scratch[4096];
    for (;;) {
        ReadOutcome got = reader.read(scratch, sizeof scratch);
        if (!got.ok()) return SniffOutcome{Format::jsonl, std::move(got.error)};
        if (kept != nullptr) kept->append(scratch, got.bytes);
        if (got.bytes == 0) return SniffOutcome{Format::jsonl, std::nullopt};
        for (std::size_t i = 0; i < got.bytes; ++i) {
            auto b = static_cast<unsigned char>(scratch[i]);
            if (!json::is_space_byte(b)) return SniffOutcome{b == '[' ? Format::json : Format::jsonl, std::nullopt};
        }
    }
}

}  // namespace tovak::io
