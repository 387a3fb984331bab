#include "api/bigjson/count.hpp"

#include <memory>

#include "api/bigjson/mod.hpp"
#include "json/text.hpp"

namespace tovak::bigjson {

namespace {

constexpr std::size_t kScanChunk = 65536;

// Counts the commas at depth 1 of a top-level array, carrying its state across chunks.
class ElementCounter {
public:
    // False once the answer is known without reading further (the top level is not an array).
    bool feed(const unsigned char* bytes, std::size_t size) noexcept {
        for (std::size_t i = 0; i < size; ++i) {
            unsigned char b = bytes[i];
            if (in_string_) {
                if (escape_) escape_ = false;
                else if (b == '"') in_string_ = false;
                else if (b == '\\') escape_ = true;
                continue;
            }
            if (!array_) {
                if (is_space_byte(b)) continue;
                if (b != '[') {
                    single_value_ = true;
                    return false;
                }
                array_ = true;
                depth_ = 1;
                continue;
            }
            switch (b) {
                case '\t': case '\n': case '\f': case '\r': case ' ': break;
                case '"': content_ |= depth_ == 1; in_string_ = true; break;
                case ',': commas_ += depth_ == 1; break;
                case '[': case '{': content_ |= depth_ == 1; ++depth_; break;
                case ']': case '}': --depth_; break;
                default: content_ |= depth_ == 1;
            }
        }
        return true;
    }

    std::uint64_t result() const noexcept {
        if (single_value_ || !array_) return 1;
        return content_ ? commas_ + 1 : 0;
    }

private:
    bool array_ = false, in_string_ = false, escape_ = false, content_ = false, single_value_ = false;
    std::int64_t depth_ = 0;
    std::uint64_t commas_ = 0;
};

Result<std::uint64_t> count_elements(FileReader& reader) {
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kScanChunk]);
    ElementCounter counter;
    for (;;) {
        ReadOutcome got = reader.read(reinterpret_cast<char*>(chunk.get()), kScanChunk);
        if (!got.ok()) return read_error(*got.error);
        if (got.bytes == 0 || !counter.feed(chunk.get(), got.bytes)) break;
    }
    return counter.result();
}

Result<std::uint64_t> count_lines(FileReader& reader) {
    std::string line;
    std::uint64_t lines = 0;
    for (;;) {
        line.clear();
        ReadOutcome got = reader.read_line(line);
        if (!got.ok()) return read_error(*got.error);
        if (got.bytes == 0) break;
        if (!json::is_valid_utf8(line)) return read_error(IoError{0, kInvalidUtf8Text});
        if (!json::trim_unicode_space(line).empty()) ++lines;
    }
    return lines;
}

const char* const kParams[] = {"path", "format"};
constexpr Signature kSignature{"count", kParams, 2};

PyObject* count_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<FileCall> call = bind_file_call(kSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        Result<FileReader> reader = open_reader(call->path);
        if (!reader) return std::move(reader).failure();
        Result<std::uint64_t> counted =
            call->format == Format::json ? count_elements(*reader) : count_lines(*reader);
        if (!counted) return std::move(counted).failure();
        return py_uint(*counted);
    });
}

}  // namespace

PyMethodDef count_method = {
    "count",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "count(path, format=None)\n--\n\n"
    "Count the number of top-level records in a JSON or JSONL file.\n"
    "\n"
    "- For JSON whose top level is an array `[ ... ]`, this is the number of\n"
    "  array elements (`[]` -> 0). Any other single JSON value counts as 1.\n"
    "- For JSONL, this is the number of non-empty lines.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"` (detected\n"
    "from the file extension, then the first byte).",
};

}  // namespace tovak::bigjson
