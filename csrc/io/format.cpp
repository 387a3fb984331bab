#include "io/format.hpp"

namespace tovak::io {

namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::string ascii_lower(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

FormatName format_named(std::string_view lowered_name) noexcept {
    if (lowered_name == "json") return FormatName::json;
    if (lowered_name == "jsonl" || lowered_name == "ndjson") return FormatName::jsonl;
    if (lowered_name == "auto") return FormatName::detect;
    return FormatName::unknown;
}

std::optional<Format> format_from_suffix(std::string_view path) {
    std::string lowered = ascii_lower(path);
    if (ends_with(lowered, ".jsonl") || ends_with(lowered, ".ndjson")) return Format::jsonl;
    if (ends_with(lowered, ".json")) return Format::json;
    return std::nullopt;
}

}  // namespace tovak::io
