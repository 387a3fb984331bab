// Records: the streaming record reader, load, iter_records and the RecordIterator class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "api/bigjson/mod.hpp"
#include "api/bigjson/py_sink.hpp"
#include "api/bigjson/splitter.hpp"

namespace tovak::bigjson {

// Hands out the records of one JSON or JSONL file, one per call, as Python objects: each non-blank line of a
// JSONL file, each element of a top-level array, or the single value of any other JSON document. Memory
// stays at one chunk plus one element or line.
class RecordReader {
public:
    static constexpr std::size_t kChunkSize = io::kChunkSize;

    static Result<std::unique_ptr<RecordReader>> open(const std::string& path, Format format);

    // The next record, nothing at the end, or the failure of this step. After a failure the next call goes
    // on with the following line or element.
    Result<std::optional<PyRef>> next_record();

    // While a whole file is gathered into one list: see PyObjectSink::defer_tracking.
    void defer_tracking() noexcept { parser_.defer_tracking(); }
    void track_deferred() { parser_.track_deferred(); }

    std::uint64_t bytes_read() const noexcept { return bytes_read_; }
    std::uint64_t total_bytes() const noexcept { return total_bytes_; }

private:
    RecordReader(FileReader file, Format format, std::uint64_t total_bytes);
    Result<std::optional<PyRef>> next_line();
    Result<std::optional<PyRef>> next_element();
    // Parses one element's raw bytes; nothing when they are blank.
    Result<std::optional<PyRef>> finalize(std::string_view raw);

    FileReader file_;
    Format format_;
    std::uint64_t bytes_read_ = 0;
    std::uint64_t total_bytes_ = 0;

    // JSON mode
    std::unique_ptr<char[]> chunk_;
    std::size_t chunk_len_ = 0;
    std::size_t chunk_pos_ = 0;
    ElementSplitter splitter_;
    std::string element_;     // bytes of an element that straddles chunks, or of the single document
    std::string clean_;       // lossy-decoded element text, when the raw bytes were not UTF-8
    bool closed_ = false;     // the closing bracket of the top-level array was seen
    bool done_ = false;

    // JSONL mode
    std::string line_;

    PyParser parser_;
};

extern PyMethodDef load_method;
extern PyMethodDef iter_records_method;

// The RecordIterator class object, created once per process.
Result<PyRef> record_iterator_type();

}  // namespace tovak::bigjson
