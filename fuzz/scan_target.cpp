// The byte scanners behind count and format detection, against the byte-by-byte models: the element
// counter fed in chunks of many sizes, the array counted in ranges as a parallel count's workers count it,
// and the line counter at every SIMD level the CPU has, the line
// counter also through a real file (shifted so that it crosses the 65,536-byte read boundary), the block
// classifier and the UTF-8 check at every level, and format detection by the first significant byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>

#include "io/file_reader.hpp"
#include "io/format.hpp"
#include "records/count.hpp"
#include "records/range_count.hpp"
#include "reference.hpp"

namespace json = tovak::json;
namespace io = tovak::io;
namespace records = tovak::records;

namespace {

std::vector<json::SimdLevel> levels() {
    std::vector<json::SimdLevel> out{json::SimdLevel::scalar};
#if TOVAK_SCAN_X86
    out.push_back(json::SimdLevel::sse2);
    const json::SimdLevel best = json::wide_simd_level();
    if (best == json::SimdLevel::avx2 || best == json::SimdLevel::avx512) out.push_back(json::SimdLevel::avx2);
    if (best == json::SimdLevel::avx512) out.push_back(json::SimdLevel::avx512);
#endif
    return out;
}

// A file holding `data`, reachable by a path without a suffix.
class MemoryFile {
public:
    explicit MemoryFile(std::string_view data) : fd_(memfd_create("fuzz", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        std::size_t written = 0;
        while (written < data.size()) {
            ssize_t n = ::write(fd_, data.data() + written, data.size() - written);
            FUZZ_CHECK(n > 0);
            written += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

void check_element_counter(std::string_view data, std::uint64_t expected, std::uint32_t seed) {
    for (json::SimdLevel level : levels()) {
        for (bool whole : {true, false}) {
            records::ElementCounter counter(level);
            std::size_t offset = 0;
            for (std::size_t n : whole ? std::vector<std::size_t>{data.size()} : fuzz::chunk_sizes(data.size(), seed)) {
                std::unique_ptr<unsigned char[]> chunk(new unsigned char[n]);  // exact size: overreads are caught
                std::memcpy(chunk.get(), data.data() + offset, n);
                offset += n;
                if (!counter.feed(chunk.get(), n)) break;
            }
            FUZZ_CHECK(counter.result() == expected);
        }
    }
}

// The array in ranges of a few bytes to a few blocks, each counted without knowing the string state or
// the depth at its start, folded in order as a parallel count folds them, at every level.
void check_ranges(std::string_view data, std::uint64_t expected, std::uint32_t seed) {
    std::size_t first = 0;
    while (first < data.size() && fuzz::is_space_byte(static_cast<unsigned char>(data[first]))) ++first;
    if (first == data.size() || data[first] != '[') return;
    const io::PositionalBytes input = io::PositionalBytes::of_memory(data.data(), data.size());
    records::RangeBuffer buffer;
    // Ranges of a few bytes only for short inputs, which keeps the target's pace.
    const std::uint64_t sizes[] = {data.size() <= 1024 ? 1 + seed % 13 : json::kBlockSize - 1, json::kBlockSize,
                                   json::kBlockSize * (2 + seed % 5) + seed % 61};
    for (json::SimdLevel level : levels()) {
        for (std::uint64_t size : sizes) {
            records::ArrayRangeMerge merge;
            for (std::uint64_t begin = first + 1;; begin += size) {
                std::optional<json::StringCarry> known;
                if (begin == first + 1) known = json::StringCarry{};
                const records::ArrayRangeCount counted = records::count_array_range(
                    input, records::ByteRange{begin, begin + size, false}, known, buffer, level, {});
                FUZZ_CHECK(!counted.read.error && !counted.read.stopped);
                if (merge.fits(counted)) merge.add(counted);
                else FUZZ_CHECK(!merge.recount(input, begin, counted.read.bytes, buffer, level));
                if (counted.read.at_end) break;
            }
            FUZZ_CHECK(merge.count() == expected);
        }
    }
}

// Lines at each SIMD level, over whole blocks as the line scan hands them (the tail padded with spaces).
void check_line_blocks(std::string_view data, std::int64_t expected) {
    const std::size_t blocks = (data.size() + json::kBlockSize - 1) / json::kBlockSize;
    std::string padded(data);
    padded.resize(blocks * json::kBlockSize, ' ');
    for (json::SimdLevel level : levels()) {
        json::Utf8Carry utf8;
        records::LineCounter counter;
        json::for_each_line_block(level, reinterpret_cast<const unsigned char*>(padded.data()), blocks, utf8, counter);
        const bool invalid = utf8.invalid_at_end();
        FUZZ_CHECK(invalid == (expected < 0));
        if (!invalid)
            FUZZ_CHECK(static_cast<std::int64_t>(counter.lines + (counter.line_has_content ? 1 : 0)) == expected);
    }
}

void check_classifier(std::string_view data) {
    for (std::size_t base = 0; base < data.size(); base += json::kBlockSize) {
        unsigned char block[json::kBlockSize];
        std::memset(block, 'x', sizeof block);
        std::memcpy(block, data.data() + base, std::min(json::kBlockSize, data.size() - base));
        json::BlockMasks first{};
        bool have_first = false;
        for (json::SimdLevel level : levels()) {
            json::BlockMasks masks;
            json::classify_block(level, block, masks);
            if (!have_first) {
                first = masks;
                have_first = true;
                continue;
            }
            FUZZ_CHECK(std::memcmp(&masks, &first, sizeof masks) == 0);
        }
    }
    for (json::SimdLevel level : levels()) {
        json::Utf8Carry carry;
        json::validate_utf8_tail(level, reinterpret_cast<const unsigned char*>(data.data()), data.size(), carry);
        FUZZ_CHECK(carry.invalid_at_end() == !fuzz::valid_utf8(data));
    }
}

void check_through_files(std::string_view data, std::uint64_t elements, std::int64_t lines, std::size_t shift) {
    MemoryFile file(data);
    // Detection by the first significant byte.
    std::size_t first = 0;
    while (first < data.size() && fuzz::is_space_byte(static_cast<unsigned char>(data[first]))) ++first;
    const bool array = first < data.size() && data[first] == '[';
    io::OpenOutcome sniffed_file = io::open_file_reader(file.path());
    FUZZ_CHECK(sniffed_file.ok());
    io::SniffOutcome format = io::sniff_format(*sniffed_file.file, nullptr);
    FUZZ_CHECK(!format.error);
    FUZZ_CHECK((format.format == io::Format::json) == array);

    io::OpenOutcome reader = io::open_file_reader(file.path());
    FUZZ_CHECK(reader.ok());
    records::CountOutcome counted = records::count_elements(*reader.file);
    FUZZ_CHECK(counted.ok() && counted.count == elements);

    // Blank lines in front move the data across the first read boundary without changing the answer.
    std::string shifted(shift, '\n');
    shifted.append(data);
    MemoryFile lines_file(shifted);
    io::OpenOutcome line_reader = io::open_file_reader(lines_file.path());
    FUZZ_CHECK(line_reader.ok());
    records::CountOutcome line_count = records::count_lines(*line_reader.file);
    FUZZ_CHECK(line_count.ok() == (lines >= 0));
    if (lines >= 0) FUZZ_CHECK(static_cast<std::int64_t>(line_count.count) == lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const auto seed = static_cast<std::uint32_t>(std::hash<std::string_view>{}(data));
    const std::uint64_t elements = fuzz::count_elements(data);
    const std::int64_t lines = fuzz::count_lines(data);
    check_element_counter(data, elements, seed);
    if (seed % 4 == 0) check_ranges(data, elements, seed);  // one input in four: ranges cost many scans
    check_line_blocks(data, lines);
    check_classifier(data);
    // Most inputs stay small; one in eight lies across the first 65,536-byte read.
    const std::size_t shift = seed % 8 == 0 ? 65536 - (seed >> 8) % 300 : 0;
    check_through_files(data, elements, lines, shift);
    return 0;
}
