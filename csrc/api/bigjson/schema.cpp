#include "api/bigjson/schema.hpp"

#include <string>

#include "api/bigjson/mod.hpp"
#include "json/printer.hpp"
#include "json/structure.hpp"
#include "json/value_sink.hpp"
#include "records/cutter.hpp"

namespace tovak::bigjson {

// ---------------------------------------------------------------------------------------------------
// Sampling the records of a file

namespace {

constexpr std::uint64_t kDefaultSample = 100;

// The first `limit` records of a file, each merged into the structure as soon as it is parsed; the sink's
// buffers are reused from one record to the next. Reading stops with the record that completes the sample,
// or at the closing bracket. A sample of 0 still takes the first element of an array when it is not blank,
// and a single JSON value whole: the limit is looked at only once an element has ended.
class Sample {
public:
    explicit Sample(std::uint64_t limit) noexcept : limit_(limit) {}

    Status read(FileCall& call) {
        Result<io::FileReader> file = open_input(call);
        if (!file) return std::move(file).failure();
        const bool lines = call.format == Format::jsonl;
        if (lines && limit_ == 0) return success();
        records::RecordCutter<io::FileReader> cutter(std::move(file).value(),
                                                     record_options(lines ? records::Cut::lines : records::Cut::elements));
        records::Record record;
        while (size_ < limit_ || size_ == 0) {
            const records::Next next = cutter.next(record);
            if (next == records::Next::end) break;
            if (next == records::Next::error) return record_failure(cutter.error());
            if (limit_ == 0 && cutter.cuts() > 1) break;  // the first element was blank
            json::ParseOutcome outcome = json::parse(record.text, sink_, scratch_);
            if (!outcome.ok()) return record_failure(cutter.syntax_error(record, outcome.error));
            structure_.add(sink_.take());
            ++size_;
        }
        return success();
    }

    const json::Structure& structure() const noexcept { return structure_; }

private:
    std::uint64_t limit_;
    std::uint64_t size_ = 0;
    json::Structure structure_;
    json::ValueSink sink_;
    std::string scratch_;  // decoded strings with escapes
};

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

        Sample records(sample);
        Status sampled = records.read(*call);
        if (!sampled) return std::move(sampled).failure();
        json::Value structure = records.structure().schema();

        std::string text;
        text.reserve(128);
        json::print_indented(structure, text);
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
