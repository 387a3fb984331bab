#include "json/parser.hpp"

#include <algorithm>

namespace tovak::json {

std::string ParseError::text() const {
    std::string out(message);
    out += " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(column);
    return out;
}

ParseError locate_error(std::string_view text, std::size_t offset, const char* message) noexcept {
    std::string_view before = text.substr(0, std::min(offset, text.size()));
    std::size_t last_feed = before.rfind('\n');
    std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    ParseError error;
    error.message = message;
    error.line = 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
    error.column = before.size() - line_start;
    error.offset = before.size();
    return error;
}

}  // namespace tovak::json
