// The top-level element splitter against the byte-by-byte model, with the input fed in chunks of many
// sizes: the elements, the closing bracket and the unfinished rest must not depend on where chunks end.
#include <cstring>
#include <functional>
#include <memory>

#include "records/splitter.hpp"
#include "reference.hpp"

using tovak::records::ChunkSplit;
using tovak::records::ElementSplitter;

namespace {

// Feeds the chunks as a reader does, into one reused buffer (`reuse`) or into buffers of exactly each
// chunk's size, so that a read past a chunk's end is caught.
fuzz::SplitResult split_in_chunks(std::string_view data, const std::vector<std::size_t>& sizes, bool reuse) {
    ElementSplitter splitter;
    fuzz::SplitResult got;
    std::string element;
    std::unique_ptr<char[]> shared(new char[65536]);
    std::size_t offset = 0;
    for (std::size_t n : sizes) {
        std::unique_ptr<char[]> own;
        char* chunk = shared.get();
        if (!reuse || n > 65536) {
            own.reset(new char[n]);
            chunk = own.get();
        }
        std::memcpy(chunk, data.data() + offset, n);
        offset += n;
        ChunkSplit batch;
        splitter.split(chunk, n, batch);
        FUZZ_CHECK(batch.begin <= n);
        std::size_t start = batch.begin;
        for (const std::uint32_t end : batch.ends) {
            FUZZ_CHECK(end >= start && end < n);
            element.append(chunk + start, end - start);
            got.elements.push_back(element);
            element.clear();
            start = end + 1;
        }
        if (batch.closed) {
            got.closed = true;
            break;
        }
        element.append(chunk + start, n - start);
    }
    if (!got.closed) got.rest = element;
    got.started = splitter.started();
    got.in_array = splitter.in_array();
    return got;
}

void expect_same(const fuzz::SplitResult& got, const fuzz::SplitResult& expected) {
    FUZZ_CHECK(got.started == expected.started);
    FUZZ_CHECK(got.in_array == expected.in_array);
    FUZZ_CHECK(got.closed == expected.closed);
    FUZZ_CHECK(got.elements == expected.elements);
    FUZZ_CHECK(got.rest == expected.rest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const fuzz::SplitResult expected = fuzz::split(data);
    const auto seed = static_cast<std::uint32_t>(std::hash<std::string_view>{}(data));
    expect_same(split_in_chunks(data, {size}, false), expected);
    expect_same(split_in_chunks(data, fuzz::chunk_sizes(size, seed), true), expected);
    expect_same(split_in_chunks(data, fuzz::chunk_sizes(size, seed + 1), false), expected);
    if (size <= 512) expect_same(split_in_chunks(data, std::vector<std::size_t>(size, 1), true), expected);
    return 0;
}
