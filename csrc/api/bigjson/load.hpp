// load, iter_records and the RecordIterator class: consumers of the record cutter that turn each record
// into a Python object.
#pragma once

#include <cstdint>
#include <optional>

#include "api/bigjson/mod.hpp"
#include "api/py_sink.hpp"
#include "records/cutter.hpp"

namespace tovak::bigjson {

// The records of one JSON or JSONL file as Python objects, one per call: each non-blank line of a JSONL
// file, each element of a top-level array, or the single value of any other JSON document. Memory stays at
// one chunk plus one element or line. Owned by a RecordIterator (which serialises its calls) or by one load
// call; used attached to the interpreter and destroyed while attached.
class RecordReader {
public:
    RecordReader(io::FileReader file, Format format);

    // The next record, nothing at the end, or the failure of this step. After a failure the next call goes
    // on with the following line or element (a read error: the same read again).
    Result<std::optional<PyRef>> next_record();


    std::uint64_t bytes_read() const noexcept { return cutter_.bytes_read(); }
    std::uint64_t total_bytes() const noexcept { return total_bytes_; }

private:
    std::uint64_t total_bytes_;  // the file's size when opened (0 when unknown)
    records::RecordCutter<io::FileReader> cutter_;
    api::PyParser parser_;
};

extern PyMethodDef load_method;
extern PyMethodDef iter_records_method;

// The RecordIterator class object, created once per process.
Result<PyRef> record_iterator_type();

}  // namespace tovak::bigjson
