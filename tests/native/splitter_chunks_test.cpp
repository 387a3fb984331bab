// The element splitter on fixed-seed random texts cut into random chunks: whatever the chunks, the element
// pieces it reports, joined up, must be those of a byte-by-byte model, up to the closing bracket where its
// owners stop. The splitter runs the SIMD level the process picks (the CPU's best unless TOVAK_SIMD lowers
// it), so this covers that level only; scan_levels_test covers the block scanner it is built on at every level.
// Built with -DTOVAK_NATIVE_TESTS=ON and run by .ci/native-tests; exits nonzero on any mismatch. An
// argument replaces the fixed seed.
#include <memory>
#include <string>
#include <vector>

#include "records/splitter.hpp"
#include "native_check.hpp"

namespace {

using namespace native_check;
using tovak::records::ChunkSplit;
using tovak::records::ElementSplitter;

// What an owner gathers: the elements ended by a comma or the closing bracket, and the bytes of the
// element still open at the end of the input (for a single document, all of it).
struct Split {
    std::vector<std::string> elements;
    bool closed = false;  // the closing bracket ended the last element
    std::string open_element;
    bool started = false, in_array = false;

    bool operator==(const Split&) const = default;
};

bool json_space(unsigned char b) { return b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D || b == 0x20; }

Split model_split(std::string_view text) {
    Split split;
    bool in_string = false, escaped = false;
    std::int64_t depth = 0;
    std::string element;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (!split.started) {
            if (json_space(b)) continue;
            split.started = true;
            if (b == '[') {
                split.in_array = true;
                depth = 1;
                continue;
            }
        }
        if (!split.in_array) {  // a single document: every byte from its first significant one
            element += c;
            continue;
        }
        if (in_string) {
            if (escaped) escaped = false;
            else if (b == '"') in_string = false;
            else if (b == '\\') escaped = true;
        } else if (depth == 1 && (b == ',' || b == ']')) {
            split.elements.push_back(element);
            element.clear();
            if (b == ']') {
                split.closed = true;
                return split;
            }
            continue;
        } else if (b == '"') {
            in_string = true;
        } else if (b == '[' || b == '{') {
            ++depth;
        } else if (b == ']' || b == '}') {
            --depth;
        }
        element += c;
    }
    split.open_element = element;
    return split;
}

// Feeds the text in chunks of the given sizes, each in a buffer of its own of exactly that size, and joins
// the ranges of each batch into elements as the record cutter does.
Split run_splitter(std::string_view text, const std::vector<std::size_t>& chunk_sizes) {
    ElementSplitter splitter;
    ChunkSplit batch;
    Split split;
    std::string element;
    std::size_t offset = 0;
    for (std::size_t size : chunk_sizes) {
        std::unique_ptr<char[]> chunk(new char[size]);
        text.copy(chunk.get(), size, offset);
        offset += size;
        splitter.split(chunk.get(), size, batch);
        std::size_t start = batch.begin;
        for (const std::uint32_t end : batch.ends) {
            element.append(chunk.get() + start, end - start);
            split.elements.push_back(element);
            element.clear();
            start = end + 1;
        }
        if (batch.closed) {
            split.closed = true;
            split.started = splitter.started();
            split.in_array = splitter.in_array();
            return split;
        }
        element.append(chunk.get() + start, size - start);
    }
    split.open_element = element;
    split.started = splitter.started();
    split.in_array = splitter.in_array();
    return split;
}

std::string bracketed(std::string_view bytes) {
    std::string out(1, '[');
    out += printable(bytes);
    out += ']';
    return out;
}

// Where two splits part.
std::string difference(const Split& got, const Split& want) {
    for (std::size_t i = 0; i < got.elements.size() || i < want.elements.size(); ++i) {
        auto shown = [i](const Split& split) {
            return i < split.elements.size() ? bracketed(split.elements[i]) : std::string("none");
        };
        if (i >= got.elements.size() || i >= want.elements.size() || got.elements[i] != want.elements[i]) {
            return "element " + std::to_string(i) + ":\n  got  " + shown(got) + "\n  want " + shown(want);
        }
    }
    if (got.open_element != want.open_element) {
        return "open element at the end:\n  got  " + bracketed(got.open_element) + "\n  want " +
               bracketed(want.open_element);
    }
    return "closed " + std::to_string(got.closed) + " started " + std::to_string(got.started) + " in_array " +
           std::to_string(got.in_array) + ", want " + std::to_string(want.closed) + " " +
           std::to_string(want.started) + " " + std::to_string(want.in_array);
}

std::string random_document(Random& random) {
    const Mix mixes[] = {
        //  "  \  \\+ [{ ]} ,   sp  lf asc usp uot bad any
        {3, 1, 1, 3, 3, 6, 3, 1, 6, 1, 1, 1, 1},     // general
        {4, 6, 4, 2, 2, 3, 1, 0, 4, 0, 1, 0, 0},     // escapes, and backslashes outside strings
        {0, 0, 0, 0, 0, 40, 1, 0, 2, 0, 0, 0, 0},    // more terminators than the splitter indexes at once
        {2, 1, 0, 6, 3, 4, 2, 1, 4, 0, 0, 0, 1},     // deep
        {1, 0, 0, 1, 1, 2, 1, 0, 40, 0, 2, 0, 0},    // long elements
    };
    std::string text;
    const unsigned start = static_cast<unsigned>(random.below(10));
    if (start < 9) {
        text.append(random.below(3), ' ');
        if (random.percent(20)) text += random.pick(kSpaceBytes);
        if (start < 8) text += '[';
    }
    const std::size_t length = random.percent(15) ? random.between(1000, 8000) : random.below(400);
    text += random_text(random, length, random.pick(mixes));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Random random(seed_from(argc, argv, 20240611));
    Report report("splitter_chunks_test");
    std::printf("level: %s (the one this CPU picks)\n", level_name(tovak::json::wide_simd_level()));
    const std::string fixed[] = {"", " ", "[]", "[1]", "[1,2", "  [ 1 , [2,3] , {\"a\":[4]} ]", "{\"a\":1}",
                                 "[\"]\",\"\\\"\",\"\\\\\"]", "[1}, 2]", "[{]", "\v[1]", "[1]]2,3"};
    for (int n = 0; n < 30000 + static_cast<int>(std::size(fixed)); ++n) {
        const std::string text = n < static_cast<int>(std::size(fixed)) ? fixed[n] : random_document(random);
        const Split want = model_split(text);
        std::vector<std::vector<std::size_t>> chunkings{{text.size()}};
        for (int k = 0; k < 4; ++k) chunkings.push_back(random_pieces(random, text.size()));
        for (const auto& chunk_sizes : chunkings) {
            const Split got = run_splitter(text, chunk_sizes);
            report.check(
                got == want,
                [&] {
                    std::string out = "in chunks of";
                    for (std::size_t i = 0; i < chunk_sizes.size() && i < 20; ++i) out += ' ' + std::to_string(chunk_sizes[i]);
                    if (chunk_sizes.size() > 20) out += " ...";
                    return out + ": " + difference(got, want);
                },
                text);
        }
    }
    return report.finish();
}
