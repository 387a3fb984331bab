#include "api/bigjson/count.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "api/bigjson/mod.hpp"
#include "api/range_count.hpp"
#include "api/workers.hpp"
#include "records/count.hpp"

namespace tovak::bigjson {

namespace {

const char* const kParams[] = {"path", "format"};

// A big regular file counted over ranges that every core reads and counts for itself, as the package's
// count shares it out: the same count and the same failures as the scans on this thread. Nothing (count
// here) for a small file, one core, or JSON whose first bytes do not open an array. TOVAK_COUNT_RANGE (for
// tests): ranges of that many bytes on two threads at least, whatever the file's size.
std::optional<records::CountOutcome> count_on_every_core(io::FileReader& file, bool json,
                                                         const records::RecordOptions& options) {
    const std::optional<io::PositionalBytes> input = file.positional();
    if (!input) return std::nullopt;
    const std::uint64_t range_size = api::size_from_environment("TOVAK_COUNT_RANGE");
    std::size_t threads = api::automatic_count_threads(input->size());
    if (range_size != 0) threads = std::max<std::size_t>(threads, 2);
    if (threads < 2) return std::nullopt;
    std::uint64_t first = 0;
    if (json) {
        char head[4096];
        const io::ReadOutcome got = input->read_at(head, sizeof head, 0);
        if (!got.ok()) return std::nullopt;  // the scan here meets the error and reports it
        const std::optional<std::uint64_t> bracket = api::array_bracket(std::string_view(head, got.bytes));
        if (!bracket) return std::nullopt;
        first = *bracket + 1;
    }
    return api::count_ranges(*input, !json, first, options, threads, range_size);
}
constexpr Signature kSignature{"count", kParams, 2};

PyObject* count_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<OpenFile> call = open_file_call(kSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        const bool json = call->format == Format::json;
        const records::RecordOptions options = record_options(json ? records::Cut::elements : records::Cut::lines);
        std::optional<records::CountOutcome> counted = count_on_every_core(call->file, json, options);
        if (!counted)
            counted = json ? records::count_elements(call->file, options) : records::count_lines(call->file, options);
        if (!counted->ok()) return record_failure(*counted->error);
        return py_uint(counted->count);
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
