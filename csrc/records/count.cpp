#include "records/count.hpp"

namespace tovak::records {

std::uint64_t count_elements_in(std::string_view text, std::span<const std::size_t> pieces, json::SimdLevel level) {
    MemoryReader reader(text, pieces);
    return count_elements(reader, {}, level).count;  // a read from memory never fails
}

std::optional<std::uint64_t> count_lines_in(std::string_view text, std::span<const std::size_t> pieces,
                                            json::SimdLevel level) {
    MemoryReader reader(text, pieces);
    CountOutcome counted = count_lines(reader, {}, level);
    if (!counted.ok()) return std::nullopt;  // not valid UTF-8, the only failure left without a file
    return counted.count;
}

}  // namespace tovak::records
