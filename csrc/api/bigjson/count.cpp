#include "api/bigjson/count.hpp"

#include "api/bigjson/mod.hpp"
#include "records/count.hpp"

namespace tovak::bigjson {

namespace {

const char* const kParams[] = {"path", "format"};
constexpr Signature kSignature{"count", kParams, 2};

PyObject* count_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<OpenFile> call = open_file_call(kSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        const bool json = call->format == Format::json;
        const records::RecordOptions options = record_options(json ? records::Cut::elements : records::Cut::lines);
        records::CountOutcome counted =
            json ? records::count_elements(call->file, options) : records::count_lines(call->file, options);
        if (!counted.ok()) return record_failure(*counted.error);
        return py_uint(counted.count);
    });
}

}  // namespace

PyMethodDef count_method = fastcall_method(
    "count", count_entry,
    "count(path, format=None)\n--\n\n"
    "Count the number of top-level records in a JSON or JSONL file.\n"
    "\n"
    "- For JSON whose top level is an array `[ ... ]`, this is the number of\n"
    "  array elements (`[]` -> 0). Any other single JSON value counts as 1.\n"
    "- For JSONL, this is the number of non-empty lines.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"` (detected\n"
    "from the file extension, then the first byte).");

}  // namespace tovak::bigjson
