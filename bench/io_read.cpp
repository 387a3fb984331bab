// Throughput of the input layer (csrc/io) on one file, to choose its settings: decompression alone
// (compare with `gzip -dc FILE > /dev/null`, `zstd -dc ...`), and a consumer that does work per byte
// (a stand-in for parsing, `passes` hash passes over each chunk) with and without read-ahead, for
// several ring shapes.
//
//   cmake -S . -B build -G Ninja -DTOVAK_NATIVE_TESTS=ON && ninja -C build io_read_bench
//   build/io_read_bench FILE [passes]     (passes 0: decompression alone, nothing else)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "io/decompress.hpp"
#include "io/input.hpp"
#include "io/read_ahead.hpp"

namespace {

using namespace tovak::io;

// FNV-1a over the bytes `passes` times: about a byte per nanosecond per pass, like a light parser.
std::uint64_t work(const char* data, std::size_t size, int passes) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (int pass = 0; pass < passes; ++pass)
        for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return hash;
}

double run(ByteSource& source, int passes, std::uint64_t& total, std::uint64_t& sink) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<char> buffer(kChunkSize);
    total = 0;
    for (;;) {
        ReadOutcome got = source.read(buffer.data(), buffer.size());
        if (!got.ok()) {
            std::fprintf(stderr, "read error: %s\n", got.error->text().c_str());
            std::exit(1);
        }
        if (got.bytes == 0) break;
        total += got.bytes;
        sink += work(buffer.data(), got.bytes, passes);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::unique_ptr<ByteSource> open_decoded(const char* path) {
    auto opened = open_file(path);
    if (!opened.ok()) {
        std::fprintf(stderr, "%s: %s\n", path, opened.error().text().c_str());
        std::exit(1);
    }
    auto peek = std::make_unique<PeekSource>(std::move(opened.value()));
    const Compression compression = detect_compression(peek->peek(kMagicSize).value());
    return decompressing(compression, std::move(peek));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [passes]\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    const int passes = argc > 2 ? std::atoi(argv[2]) : 2;
    std::uint64_t total = 0, sink = 0;

    auto alone = open_decoded(path);
    double seconds = run(*alone, 0, total, sink);
    std::printf("decode alone:            %.3f s  %.0f MB/s out\n", seconds, total / seconds / 1e6);
    if (passes == 0) return 0;

    auto serial = open_decoded(path);
    seconds = run(*serial, passes, total, sink);
    std::printf("decode+work, one thread: %.3f s\n", seconds);

    const ReadAheadSource::Shape shapes[] = {{64 << 10, 4}, {256 << 10, 4}, {1 << 20, 2}, {1 << 20, 4}, {1 << 20, 8}, {4 << 20, 4}};
    for (const auto& shape : shapes) {
        ReadAheadSource ahead(open_decoded(path), nullptr, shape);
        seconds = run(ahead, passes, total, sink);
        std::printf("read-ahead %5zu KiB x %zu: %.3f s\n", shape.chunk_size >> 10, shape.chunks, seconds);
    }
    std::printf("(%llu bytes, check %llu)\n", static_cast<unsigned long long>(total), static_cast<unsigned long long>(sink & 0xFF));
    return 0;
}
