// count, load and schema of the package's own surface (the Records class is in records.cpp). Each binds
// its arguments, opens the source (source.hpp), runs the record engine and turns its failure into tovak's
// exception. Values follow Python's json module: keys in file order, exact integers, infinities, lone
// surrogates kept (api::Rules::python).
#include <cstdlib>

#include "api/reader/mod.hpp"
#include "api/reader/stream.hpp"
#include "api/reader/structure.hpp"

#include "api/collector.hpp"
#include "api/py_records.hpp"
#include "api/py_sink.hpp"
#include "json/check_sink.hpp"
#include "json/printer.hpp"
#include "json/structure.hpp"
#include "records/count.hpp"
#include "records/cutter.hpp"
#include "records/pointer_cutter.hpp"
#include "records/sample.hpp"

namespace tovak::reader {

api::SinkOptions sink_options() {
    api::SinkOptions options;
    options.keys = api::KeyOrder::file_order;
    options.rules = api::Rules::python;
    return options;
}

records::Cut cut_of(io::Format format) {
    return format == io::Format::jsonl ? records::Cut::lines : records::Cut::elements;
}

PyRef member_pair(std::string_view key, const PyRef& value) {
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "surrogatepass"));
    if (!name) return PyRef();
    return PyRef::steal(PyTuple_Pack(2, name.get(), value.get()));
}

namespace {

const char* const kSourceParams[] = {"source", "format", "at", "threads"};
constexpr Signature kCountSignature{"count", kSourceParams, 4};
constexpr Signature kLoadSignature{"load", kSourceParams, 4};
const char* const kSchemaParams[] = {"source", "sample", "format", "at"};
constexpr Signature kSchemaSignature{"schema", kSchemaParams, 4};

constexpr std::uint64_t kDefaultSample = 100;

using Cutter = records::RecordCutter<Reader>;

// The next record of `cutter` as a Python object, or nothing at the end.
Result<std::optional<PyRef>> next_record(Cutter& cutter, api::PyParser& parser, const Source& source) {
    return api::next_value(cutter, parser, [&](const records::RecordError& error) { return source.failure(error); });
}

// Binds the arguments; the pointer of `at` goes to `options` (every signature ends with format, at, or with
// format, at, threads: then the number of workers goes to `options.threads`).
Result<std::unique_ptr<Source>> open_bound(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames, StreamOptions& options, std::uint64_t* sample = nullptr) {
    Result<BoundArgs> bound = bind_arguments(signature, args, nargs, kwnames);
    if (!bound) return std::move(bound).failure();
    const bool threaded = std::string_view(signature.params[signature.count - 1]) == "threads";
    const int last = signature.count - (threaded ? 2 : 1);
    PyObject* format = bound->slot[last - 1];
    Result<StreamOptions> given = stream_options(bound->slot[last], nullptr, nullptr);
    if (!given) return std::move(given).failure();
    options = std::move(given).value();
    std::size_t requested = 1;
    if (threaded) {
        Result<std::size_t> threads = threads_argument(bound->slot[signature.count - 1]);
        if (!threads) return std::move(threads).failure();
        requested = *threads;
    }
    if (sample != nullptr && bound->slot[1] != nullptr) {
        Result<std::uint64_t> given = count_argument(bound->slot[1], "sample");
        if (!given) return std::move(given).failure();
        *sample = *given;
    }
    Result<std::unique_ptr<Source>> source = Source::open(bound->slot[0], format);
    if (!source) return source;
    if (&signature == &kCountSignature) {
        options.threads = count_worker_count(requested, *source.value());
        return source;
    }
    Result<std::size_t> workers = worker_count(requested, *source.value(), &signature == &kLoadSignature);
    if (!workers) return std::move(workers).failure();
    options.threads = *workers;
    return source;
}

// The bytes per range of a count on several threads: TOVAK_COUNT_RANGE (for tests, which make ranges of a
// few bytes so that range boundaries fall everywhere), else 0: the engine's choice.
std::uint64_t count_range_size() { return size_from_environment("TOVAK_COUNT_RANGE"); }

PyObject* count_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        StreamOptions options;
        Result<std::unique_ptr<Source>> source = open_bound(kCountSignature, args, nargs, kwnames, options);
        if (!source) return std::move(source).failure();
        if (options.at) {
            // Through the validator: the records at the pointer, none of them parsed (so on one thread).
            options.threads = 1;
            RecordStream stream(std::move(source).value(), std::move(options));
            Result<std::uint64_t> counted = stream.count();
            if (!counted) return std::move(counted).failure();
            return py_uint(*counted);
        }
        Source& input = *source.value();
        const records::RecordOptions scan = input.record_options(cut_of(input.format()));
        std::optional<records::CountOutcome> counted;
        // Workers read their own ranges where the input allows it; else JSONL ranges are read here and an
        // array's elements found by one scan.
        if (options.threads > 1) counted = count_ranges_parallel(input, scan, options.threads, count_range_size());
        if (!counted) {
            Reader reader{io::ByteSourceRef(input.bytes())};
            counted = input.format() == io::Format::json ? records::count_elements(reader, scan)
                      : options.threads > 1              ? count_lines_parallel(reader, scan, options.threads)
                                                         : records::count_lines(reader, scan);
        }
        if (!counted->ok()) return input.failure(*counted->error);
        return py_uint(counted->count);
    });
}

Result<PyRef> load_document(Source& source) {
    Cutter cutter(Reader{io::ByteSourceRef(source.bytes())}, source.record_options(records::Cut::document));
    api::PyParser parser(sink_options());
    Result<std::optional<PyRef>> value = next_record(cutter, parser, source);
    if (!value) return std::move(value).failure();
    return std::move(*value.value());  // a document cut gives its one record or a failure
}

Result<PyRef> load_lines(Source& source) {
    Cutter cutter(Reader{io::ByteSourceRef(source.bytes())}, source.record_options(records::Cut::lines));
    api::PyParser parser(sink_options());
    return api::gather_list(parser, [&] { return next_record(cutter, parser, source); });
}

// The error the document parse of load_document gives for the first error the parallel reader met in a
// top-level array. Everything before the failing element is valid, so the document parse fails inside that
// element or at the byte that ends it: the element is parsed again as the document parser sees it, after
// `[` (the first element) or `[0,` (any other), with its terminator. The cutter's own errors are the
// document's already; only the record number goes (a document has none).
records::RecordError as_document_error(const ParallelStep& step) {
    records::RecordError error = step.error;
    error.record_kind = records::RecordKind::document;
    if (step.record == nullptr) {
        // The cutter reports an array that ends after a comma as an unfinished list; the document parse
        // was expecting the value after the comma.
        if (error.kind == records::ErrorKind::syntax && error.syntax.message == json::message::eof_list &&
            error.record > step.cut_after && error.record > 1)
            error.syntax.message = json::message::eof_value;
        return error;
    }
    if (error.kind != records::ErrorKind::syntax) return error;
    const records::Record& record = *step.record;
    const std::string_view prefix = record.number == 1 ? "[" : "[0,";
    std::string text;
    text.reserve(prefix.size() + record.text.size() + 1);
    text.append(prefix).append(record.text);
    if (record.terminator != 0) text.push_back(record.terminator);
    json::CheckSink check;
    std::string scratch;
    const json::ParseOutcome again = json::parse<json::PythonRules>(text, check, scratch);
    if (again.ok()) return error;
    error.offset = record.offset - prefix.size();  // may wrap below 0: positions add the prefix back
    error.lead = 0;
    error.fatal = true;
    error.syntax = again.error;
    return error;
}

// The lines of JSONL, or the elements of a top-level array, parsed on `threads` workers: the list
// load_lines or load_document gives, or its first error.
Result<PyRef> load_parallel(Source& source, std::size_t threads) {
    const bool lines = source.format() == io::Format::jsonl;
    api::ListBuilder values;  // made first, so that it outlives the workers (see load_at_parallel)
    ParallelRecords parsed(source, cut_of(source.format()), threads, true);
    for (;;) {
        ParallelStep step = parsed.next();
        switch (step.kind) {
            case ParallelStep::Kind::end:
                parsed.keep();
                return values.finish();
            case ParallelStep::Kind::value:
                values.push(std::move(step.value));
                continue;
            case ParallelStep::Kind::error: break;
        }
        if (step.raised) return std::move(*step.raised);
        return source.failure(lines ? step.error : as_document_error(step));
    }
}

// load(at=...) on worker threads: the records at the pointer, parsed as records(at=...) parses them, put
// together as the value there (JSON: an array's elements as a list, an object's members as a dict, which
// keeps the last of duplicate keys as the parser does, any other value itself), or the list of the values
// at the pointer of every line (JSONL, each line's value one record).
Result<PyRef> load_at_parallel(Source& source, const json::Pointer& at, std::size_t threads) {
    const bool lines = source.format() == io::Format::jsonl;
    // Made first, so that it outlives the workers: every value handed out must be alive when they stop
    // and put their trees back on the collector's lists, also the values of duplicate keys that the dict
    // below drops.
    api::ListBuilder values;
    ParallelRecords parsed(source, cut_of(source.format()), threads, true, &at, lines);
    for (;;) {
        ParallelStep step = parsed.next();
        if (step.kind == ParallelStep::Kind::end) break;
        if (step.kind == ParallelStep::Kind::value) {
            values.push(std::move(step.value));
            continue;
        }
        if (step.raised) return std::move(*step.raised);
        if (step.error.kind == records::ErrorKind::missing)
            return source.pointer_failure(records::describe_miss(at, parsed.pointer_cutter()->miss()), step.error);
        records::RecordError error = step.error;
        if (!lines && (error.kind == records::ErrorKind::syntax || error.kind == records::ErrorKind::invalid_utf8)) {
            // As one thread reports it: the value at the pointer is the one record, failing when the error
            // lies inside it.
            error.record = 1;
            error.record_kind = parsed.pointer_cutter()->target_open() ? records::RecordKind::element
                                                                       : records::RecordKind::document;
        }
        return source.failure(error);
    }
    parsed.keep();
    if (lines) return values.finish();
    switch (parsed.pointer_cutter()->target()) {
        case json::ValueKind::array: return values.finish();
        case json::ValueKind::object: {
            // The pairs stay held until the workers have stopped: a duplicate key's dropped value too.
            Result<PyRef> members = checked(PyDict_New());
            if (!members) return members;
            for (std::size_t i = 0; i < values.size(); ++i) {
                PyObject* pair = values[i];  // (key, value), borrowed
                if (PyDict_SetItem(members->get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0)
                    return Failure::from_python();
            }
            return members;
        }
        default:
            if (values.size() != 1) return Failure(PyExc_SystemError, "no single value at a pointer");
            return PyRef::borrow(values[0]);
    }
}

// The value at the pointer (JSON), or the list of the values at the pointer of every line (JSONL).
Result<PyRef> load_at(std::unique_ptr<Source> source, StreamOptions options) {
    if (options.threads > 1) return load_at_parallel(*source, *options.at, options.threads);
    const bool lines = source->format() == io::Format::jsonl;
    options.whole_target = true;
    RecordStream stream(std::move(source), std::move(options));
    if (lines) return api::gather_list(stream.parser(), [&] { return stream.next(); });
    Result<std::optional<PyRef>> value = stream.next();
    if (!value) return std::move(value).failure();
    if (!value.value()) return Failure(PyExc_SystemError, "no value at a pointer that matched");
    // The text after the value is read too: the whole input must be valid, as without a pointer.
    Result<std::optional<PyRef>> after = stream.next();
    if (!after) return std::move(after).failure();
    if (after.value()) return Failure(PyExc_SystemError, "more than one value at a pointer");
    return std::move(*value.value());
}

PyObject* load_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        StreamOptions options;
        Result<std::unique_ptr<Source>> source = open_bound(kLoadSignature, args, nargs, kwnames, options);
        if (!source) return std::move(source).failure();
        const api::CollectorPause pause;  // the result cannot hold a cycle before it is returned
        if (options.at) return load_at(std::move(source).value(), std::move(options));
        Source& input = *source.value();
        // Only an array has parts to share out; any other value is one parse.
        if (options.threads > 1 && (input.format() == io::Format::jsonl || input.starts_with_array()))
            return load_parallel(input, options.threads);
        return input.format() == io::Format::json ? load_document(input) : load_lines(input);
    });
}

PyObject* schema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        std::uint64_t sample = kDefaultSample;
        StreamOptions options;
        Result<std::unique_ptr<Source>> source = open_bound(kSchemaSignature, args, nargs, kwnames, options, &sample);
        if (!source) return std::move(source).failure();
        json::Structure structure;
        Status sampled = sample_structure(*source.value(), options, sample, structure);
        if (!sampled) return std::move(sampled).failure();
        std::string text;
        structure.print_schema(text);
        // Keys may hold lone surrogates (kept as the parser keeps them): the decoder lets them through.
        return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    });
}

}  // namespace

PyMethodDef count_method = fastcall_method(
    "count", count_entry,
    "count(source, format=None, at=None, threads=None)\n--\n\n"
    "The number of records of a JSON or JSONL input, found by a byte scan that never parses.");

PyMethodDef load_method = fastcall_method(
    "load", load_entry,
    "load(source, format=None, at=None, threads=None)\n--\n\n"
    "The whole input as Python objects, as the json module reads it; parsed on `threads` threads.");

PyMethodDef schema_method = fastcall_method(
    "schema", schema_entry,
    "schema(source, sample=100, format=None, at=None)\n--\n\n"
    "The merged structure of the first `sample` records, as indented JSON text.");

}  // namespace tovak::reader
