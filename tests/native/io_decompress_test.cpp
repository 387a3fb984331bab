// The decompressors against the command-line tools: for gzip, zstd, bzip2 and xz alike, data compressed
// by the tool and read back through random read sizes must give the original bytes, across concatenated
// and empty members; truncated, corrupt and checksum-failing streams and trailing data must end in an
// error of Kind::damaged naming the damage, after exactly the bytes before it where that is knowable; a
// decompression bomb must stream in bounded memory. Also the opening of paths and memory. Built with
// -DTOVAK_NATIVE_TESTS=ON and run by .ci/native-tests; exits nonzero on any mismatch.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "io/decompress.hpp"
#include "io/input.hpp"
#include "io/source.hpp"
#include "io_check.hpp"

namespace {

using namespace native_check;
using namespace io_check;
using namespace tovak::io;

struct Codec {
    const char* name;
    const char* compress;  // the tool, reading standard input, writing standard output
    Compression compression;
    const char* member;    // what one unit of the format is called in error texts
};

const Codec kCodecs[] = {
    {"gzip", "gzip -c -6", Compression::gzip, "member"},
    {"zstd", "zstd -q -c -3", Compression::zstd, "frame"},
    {"bzip2", "bzip2 -c -9", Compression::bzip2, "stream"},
    {"xz", "xz -c -6", Compression::xz, "stream"},
};

// Decompresses `stored` (in memory) through random read sizes.
Drained decompress(const Codec& codec, const std::string& stored, Random& random, std::uint64_t* consumed = nullptr) {
    auto source = decompressing(codec.compression, std::make_unique<MemorySource>(stored));
    Drained out = drain(*source, random);
    if (consumed != nullptr) *consumed = source->stored_bytes_read();
    return out;
}

std::string describe(const Codec& codec, const char* what, const Drained& got) {
    return std::string(codec.name) + " " + what + ": got " + std::to_string(got.bytes.size()) + " bytes, error \"" +
           (got.error ? got.error->text() : "none") + "\"";
}

bool damaged_with(const Drained& got, std::string_view text) {
    return got.error && got.error->kind == IoError::Kind::damaged && contains(got.error->text(), text);
}

// A decompression bomb first, while the process is small: 64 MiB of zeros from about 64 KB (or less)
// must stream through a 64 KiB buffer without the process growing by anything like the output.
void check_bomb(Report& report, const Codec& codec) {
    constexpr std::size_t kOutput = 64 << 20;
    const std::string bomb = run_tool("head -c " + std::to_string(kOutput) + " /dev/zero | " + codec.compress, "");
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    auto source = decompressing(codec.compression, std::make_unique<MemorySource>(bomb));
    std::vector<char> buffer(65536);
    std::size_t total = 0;
    bool all_zero = true;
    std::optional<IoError> error;
    for (;;) {
        ReadOutcome got = source->read(buffer.data(), buffer.size());
        if (!got.ok()) error = got.error;
        if (!got.ok() || got.bytes == 0) break;
        for (std::size_t i = 0; i < got.bytes; ++i) all_zero &= buffer[i] == 0;
        total += got.bytes;
    }
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const long grown_kib = after.ru_maxrss - before.ru_maxrss;
    report.check(!error && total == kOutput && all_zero && grown_kib < 24 * 1024,
                 [&] {
                     return std::string(codec.name) + " bomb: " + std::to_string(total) + " bytes, peak grew by " +
                            std::to_string(grown_kib) + " KiB" + (error ? ", error " + error->text() : "");
                 },
                 "");
}

void check_codec(Report& report, const Codec& codec, Random& random) {
    const std::string first = sample_text(random, 300000);
    const std::string second = sample_text(random, 70000);
    const std::string packed_first = run_tool(codec.compress, first);
    const std::string packed_second = run_tool(codec.compress, second);
    const std::string packed_empty = run_tool(codec.compress, "");

    report.check(detect_compression(std::string_view(packed_first).substr(0, kMagicSize)) == codec.compression,
                 [&] { return std::string(codec.name) + ": magic bytes not recognised"; }, packed_first.substr(0, 8));

    // One member, and concatenated ones with empty members among them, through random read sizes.
    const std::string many = packed_empty + packed_first + packed_empty + packed_second + packed_empty;
    for (int round = 0; round < 4; ++round) {
        std::uint64_t consumed = 0;
        Drained one = decompress(codec, packed_first, random, &consumed);
        report.check(!one.error && one.bytes == first && consumed == packed_first.size(),
                     [&] { return describe(codec, "one member", one) + ", consumed " + std::to_string(consumed); }, "");
        Drained joined = decompress(codec, many, random);
        report.check(!joined.error && joined.bytes == first + second,
                     [&] { return describe(codec, "concatenated members", joined); }, "");
    }
    Drained empty = decompress(codec, packed_empty, random);
    report.check(!empty.error && empty.bytes.empty(), [&] { return describe(codec, "empty member", empty); }, "");

    // Truncated anywhere: an error naming the truncation, after a prefix of the original bytes.
    for (std::size_t cut : {std::size_t{4}, packed_first.size() / 3, packed_first.size() - 1}) {
        if (cut < kMagicSize) cut = kMagicSize;
        Drained cut_short = decompress(codec, packed_first.substr(0, cut), random);
        report.check(damaged_with(cut_short, std::string("truncated ") + codec.name + " stream") &&
                         first.compare(0, cut_short.bytes.size(), cut_short.bytes) == 0,
                     [&] { return describe(codec, ("cut at " + std::to_string(cut)).c_str(), cut_short); }, "");
    }
    // A second member cut short is truncation too, not trailing data.
    Drained second_cut = decompress(codec, packed_first + packed_second.substr(0, packed_second.size() / 2), random);
    report.check(damaged_with(second_cut, "truncated") && second_cut.bytes.size() >= first.size(),
                 [&] { return describe(codec, "second member cut", second_cut); }, "");

    // Trailing data after complete members: every byte before it, then the error.
    for (std::string_view garbage : {std::string_view("garbage\n"), std::string_view("\0\0\0", 3), std::string_view("x")}) {
        Drained trailing = decompress(codec, packed_first + packed_second + std::string(garbage), random);
        report.check(damaged_with(trailing, std::string("trailing data after the ") + codec.name + " " + codec.member) &&
                         trailing.bytes == first + second,
                     [&] { return describe(codec, "trailing data", trailing); }, garbage);
    }

    // Corrupt data in the middle: an error (the bytes before it cannot be trusted to be a prefix: a
    // damaged match can copy wrong bytes before the check fails).
    std::string corrupt = packed_first;
    for (std::size_t at = corrupt.size() / 2; at < corrupt.size() / 2 + 8; ++at) corrupt[at] = static_cast<char>(~corrupt[at]);
    Drained broken = decompress(codec, corrupt, random);
    report.check(broken.error && broken.error->kind == IoError::Kind::damaged &&
                     (contains(broken.error->text(), "corrupt") || contains(broken.error->text(), "checksum")),
                 [&] { return describe(codec, "corrupt middle", broken); }, "");
}

// The checksums gzip and zstd keep at the end of a member: one flipped byte there must say so.
void check_trailer_checksums(Report& report, Random& random) {
    const std::string text = sample_text(random, 100000);
    std::string gzip = run_tool("gzip -c", text);
    gzip[gzip.size() - 6] ^= 0x55;  // inside the CRC-32 of the 8-byte trailer
    Drained got = decompress(kCodecs[0], gzip, random);
    report.check(damaged_with(got, "gzip checksum mismatch"), [&] { return describe(kCodecs[0], "bad CRC", got); }, "");
    std::string zstd = run_tool("zstd -q -c --check", text);
    zstd.back() ^= 0x55;  // the frame's content checksum is its last four bytes
    got = decompress(kCodecs[1], zstd, random);
    report.check(damaged_with(got, "checksum"), [&] { return describe(kCodecs[1], "bad checksum", got); }, "");
}

// xz allows zero padding in multiples of four bytes between and after streams; other counts are damage.
void check_xz_padding(Report& report, Random& random) {
    const std::string text = sample_text(random, 20000);
    const std::string xz = run_tool("xz -c", text);
    const std::string four(4, '\0'), three(3, '\0');
    Drained padded = decompress(kCodecs[3], xz + four + xz + std::string(8, '\0'), random);
    report.check(!padded.error && padded.bytes == text + text, [&] { return describe(kCodecs[3], "padding", padded); }, "");
    Drained odd = decompress(kCodecs[3], xz + three, random);
    report.check(damaged_with(odd, "trailing data") && odd.bytes == text, [&] { return describe(kCodecs[3], "3 zeros", odd); }, "");
}

// Opening: a path and memory give the compression found and the decompressed bytes from the start,
// peeked bytes included; plain input passes through; open failures are the system's errors.
void check_opening(Report& report, Random& random) {
    const std::string text = sample_text(random, 50000);
    for (const Codec& codec : kCodecs) {
        const std::string stored = run_tool(codec.compress, text);
        char path[] = "/tmp/tovak-io-open-XXXXXX";
        const int fd = ::mkstemp(path);
        if (fd < 0 || ::write(fd, stored.data(), stored.size()) != static_cast<ssize_t>(stored.size())) std::abort();
        ::close(fd);
        for (int way = 0; way < 2; ++way) {
            auto opened = way == 0 ? open_input_path(path) : open_input_memory(stored);
            if (!opened.ok()) {
                report.check(false, [&] { return std::string(codec.name) + ": open failed: " + opened.error().text(); }, "");
                continue;
            }
            Input& input = opened.value();
            auto head = input.source->peek(20);
            const bool head_ok = head.ok() && head.value() == std::string_view(text).substr(0, 20);
            Drained all = drain(*input.source, random);
            report.check(input.compression == codec.compression && input.reads_ahead && head_ok && !all.error &&
                             all.bytes == text && input.source->stored_bytes_read() == stored.size() &&
                             input.source->stored_size() == stored.size(),
                         [&] { return describe(codec, way == 0 ? "opened path" : "opened memory", all); }, "");
        }
        ::unlink(path);
    }
    auto plain = open_input_memory(text, InputOptions{.read_ahead = ReadAhead::never});
    Drained all = drain(*plain.value().source, random);
    report.check(plain.value().compression == Compression::none && !plain.value().reads_ahead && all.bytes == text,
                 [&] { return "plain memory: " + std::to_string(all.bytes.size()) + " bytes"; }, "");
    auto tiny = open_input_memory("[1]");  // shorter than the magic bytes
    Drained three = drain(*tiny.value().source, random);
    report.check(three.bytes == "[1]" && !three.error, [&] { return "3-byte input: " + three.bytes; }, "");

    auto missing = open_input_path("/nonexistent/tovak");
    report.check(!missing.ok() && missing.error().os_error == ENOENT, [&] { return std::string("missing path opened"); }, "");
    auto directory = open_input_path("/tmp");
    report.check(!directory.ok() && directory.error().os_error == EISDIR, [&] { return std::string("directory opened"); }, "");
    auto with_nul = open_input_path(std::string("/tmp/a\0b", 8));
    report.check(!with_nul.ok() && with_nul.error().text() == kNulInPathText, [&] { return std::string("NUL path"); }, "");

    report.check(without_compression_suffix("a.JSONL.GZ") == "a.JSONL" && without_compression_suffix("b.json.zst") == "b.json" &&
                     without_compression_suffix("c.xz") == "c" && without_compression_suffix(".gz") == ".gz" &&
                     without_compression_suffix("d.json") == "d.json",
                 [&] { return std::string("compression suffixes"); }, "");
}

}  // namespace

int main(int argc, char** argv) {
    Report report("io_decompress_test");
    Random random(seed_from(argc, argv, 0x10DEC0DE));
    for (const Codec& codec : kCodecs) check_bomb(report, codec);
    for (const Codec& codec : kCodecs) check_codec(report, codec, random);
    check_trailer_checksums(report, random);
    check_xz_padding(report, random);
    check_opening(report, random);
    return report.finish();
}
