#include "api/bigjson/schema.hpp"

#include <string>

#include "api/bigjson/mod.hpp"
#include "json/printer.hpp"
#include "json/structure.hpp"
#include "records/sample.hpp"

namespace tovak::bigjson {

// ---------------------------------------------------------------------------------------------------
// Sampling the records of a file

namespace {

constexpr std::uint64_t kDefaultSample = 100;

// The first `limit` records of a file merged into `structure` (records/sample.hpp); the file is closed
// when this returns.
Status sample_file(FileCall& call, std::uint64_t limit, json::Structure& structure) {
    Result<io::FileReader> file = open_input(call);
    if (!file) return std::move(file).failure();
    const records::Cut cut = call.format == Format::jsonl ? records::Cut::lines : records::Cut::elements;
    records::RecordCutter<io::FileReader> cutter(std::move(file).value(), record_options(cut));
    if (std::optional<records::RecordError> failed = records::sample_records(cutter, limit, cut, structure))
        return record_failure(*failed);
    return success();
}

// ---------------------------------------------------------------------------------------------------
// schema(path, sample=100, format=None)

const char* const kParams[] = {"path", "sample", "format"};
constexpr Signature kSignature{"schema", kParams, 3};

PyObject* schema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<BoundArgs> bound = bind_arguments(kSignature, args, nargs, kwnames);
        if (!bound) return std::move(bound).failure();
        Result<std::string> path = text_argument(bound->slot[0], "path");
        if (!path) return std::move(path).failure();
        std::uint64_t sample = kDefaultSample;
        if (bound->slot[1] != nullptr) {
            Result<std::uint64_t> given = count_argument(bound->slot[1], "sample");
            if (!given) return std::move(given).failure();
            sample = *given;
        }
        Result<std::optional<std::string>> format = optional_text_argument(bound->slot[2], "format");
        if (!format) return std::move(format).failure();
        Result<FileCall> call = resolve_format(std::move(path).value(), *format);
        if (!call) return std::move(call).failure();

        json::Structure records;
        Status sampled = sample_file(*call, sample, records);
        if (!sampled) return std::move(sampled).failure();
        std::string text;
        text.reserve(128);
        records.print_schema(text);
        return py_str(text);
    });
}

}  // namespace

PyMethodDef schema_method = fastcall_method(
    "schema", schema_entry,
    "schema(path, sample=100, format=None)\n--\n\n"
    "Infer the structure of the records in a JSON / JSONL file.\n"
    "\n"
    "Reads at most `sample` records (default 100) and returns a pretty-printed\n"
    "JSON string describing their merged structure.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.");

}  // namespace tovak::bigjson
