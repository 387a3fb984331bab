// count, load and schema of the package's own surface (the Records class is in records.cpp). Each binds
// its arguments, opens the source (source.hpp), runs the record engine and turns its failure into tovak's
// exception. Values follow Python's json module: keys in file order, exact integers, infinities, lone
// surrogates kept (api::Rules::python).
#include "api/reader/mod.hpp"

#include "api/py_records.hpp"
#include "api/py_sink.hpp"
#include "json/printer.hpp"
#include "json/structure.hpp"
#include "records/count.hpp"
#include "records/cutter.hpp"
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

namespace {

const char* const kSourceParams[] = {"source", "format"};
constexpr Signature kCountSignature{"count", kSourceParams, 2};
constexpr Signature kLoadSignature{"load", kSourceParams, 2};
const char* const kSchemaParams[] = {"source", "sample", "format"};
constexpr Signature kSchemaSignature{"schema", kSchemaParams, 3};

constexpr std::uint64_t kDefaultSample = 100;

using Cutter = records::RecordCutter<Reader>;

// The next record of `cutter` as a Python object, or nothing at the end.
Result<std::optional<PyRef>> next_record(Cutter& cutter, api::PyParser& parser, const Source& source) {
    return api::next_value(cutter, parser, [&](const records::RecordError& error) { return source.failure(error); });
}

Result<std::unique_ptr<Source>> open_bound(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames, std::uint64_t* sample = nullptr) {
    Result<BoundArgs> bound = bind_arguments(signature, args, nargs, kwnames);
    if (!bound) return std::move(bound).failure();
    PyObject* format = bound->slot[signature.count - 1];
    if (sample != nullptr && bound->slot[1] != nullptr) {
        Result<std::uint64_t> given = count_argument(bound->slot[1], "sample");
        if (!given) return std::move(given).failure();
        *sample = *given;
    }
    return Source::open(bound->slot[0], format);
}

PyObject* count_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<std::unique_ptr<Source>> source = open_bound(kCountSignature, args, nargs, kwnames);
        if (!source) return std::move(source).failure();
        Source& input = *source.value();
        Reader reader{io::ByteSourceRef(input.bytes())};
        const records::RecordOptions options = input.record_options(cut_of(input.format()));
        records::CountOutcome counted = input.format() == io::Format::json ? records::count_elements(reader, options)
                                                                          : records::count_lines(reader, options);
        if (!counted.ok()) return input.failure(*counted.error);
        return py_uint(counted.count);
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

PyObject* load_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<std::unique_ptr<Source>> source = open_bound(kLoadSignature, args, nargs, kwnames);
        if (!source) return std::move(source).failure();
        Source& input = *source.value();
        return input.format() == io::Format::json ? load_document(input) : load_lines(input);
    });
}

PyObject* schema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        std::uint64_t sample = kDefaultSample;
        Result<std::unique_ptr<Source>> source = open_bound(kSchemaSignature, args, nargs, kwnames, &sample);
        if (!source) return std::move(source).failure();
        Source& input = *source.value();
        const records::Cut cut = cut_of(input.format());
        Cutter cutter(Reader{io::ByteSourceRef(input.bytes())}, input.record_options(cut));
        json::Structure structure;
        if (std::optional<records::RecordError> failed =
                records::sample_records<json::PythonRules>(cutter, sample, cut, structure))
            return input.failure(*failed);
        std::string text;
        json::print_indented(structure.schema(), text);
        // Keys may hold lone surrogates (kept as the parser keeps them): the decoder lets them through.
        return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    });
}

}  // namespace

PyMethodDef count_method = fastcall_method(
    "count", count_entry,
    "count(source, format=None)\n--\n\n"
    "The number of records of a JSON or JSONL input, found by a byte scan that never parses.");

PyMethodDef load_method = fastcall_method(
    "load", load_entry,
    "load(source, format=None)\n--\n\n"
    "The whole input as Python objects, as the json module reads it.");

PyMethodDef schema_method = fastcall_method(
    "schema", schema_entry,
    "schema(source, sample=100, format=None)\n--\n\n"
    "The merged structure of the first `sample` records, as indented JSON text.");

}  // namespace tovak::reader
