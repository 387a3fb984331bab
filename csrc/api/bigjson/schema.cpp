#include "api/bigjson/schema.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/bigjson/mod.hpp"
#include "api/bigjson/splitter.hpp"
#include "json/printer.hpp"
#include "json/text.hpp"
#include "json/value_sink.hpp"

namespace tovak::bigjson {

// ---------------------------------------------------------------------------------------------------
// Structure inference

namespace {

using Refs = std::vector<const json::Value*>;

constexpr std::string_view kScalarNameText[ScalarNames::name_count] = {"bool", "float", "int", "null", "str"};

}  // namespace

ScalarNames::Name ScalarNames::of(const json::Value& scalar) noexcept {
    switch (scalar.kind()) {
        case json::Value::Kind::boolean: return bool_name;
        case json::Value::Kind::dbl: return float_name;
        case json::Value::Kind::uint:
        case json::Value::Kind::sint: return int_name;
        case json::Value::Kind::string: return str_name;
        default: return null_name;
    }
}

json::Value scalar_value(ScalarNames names) {
    std::string expression;
    for (int name = 0; name < ScalarNames::name_count; ++name) {
        if (!names.contains(static_cast<ScalarNames::Name>(name))) continue;
        if (!expression.empty()) expression += '|';
        expression += kScalarNameText[name];
    }
    return json::Value(std::move(expression));
}

json::Value infer(ValueRefs values) {
    if (values.empty()) return json::Value(std::string("unknown"));
    std::size_t object_count = 0, array_count = 0;
    ScalarNames names;
    for (const json::Value* value : values) {
        if (value->is_object()) ++object_count;
        else if (value->is_array()) ++array_count;
        else names.insert(ScalarNames::of(*value));
    }
    // One kind only: the values themselves are the list of that kind.
    if (object_count == values.size()) return infer_object(values);
    if (array_count == values.size()) return infer_array(values);
    if (object_count == 0 && array_count == 0) return scalar_value(names);

    // Several kinds meet here: one alternative per kind, in the order scalar, array, object.
    Refs objects, arrays;
    objects.reserve(object_count);
    arrays.reserve(array_count);
    for (const json::Value* value : values) {
        if (value->is_object()) objects.push_back(value);
        else if (value->is_array()) arrays.push_back(value);
    }
    json::Array alternatives;
    alternatives.reserve(3);
    if (!names.empty()) alternatives.push_back(scalar_value(names));
    if (!arrays.empty()) alternatives.push_back(infer_array(arrays));
    if (!objects.empty()) alternatives.push_back(infer_object(objects));
    json::Object mixed;
    mixed.emplace_back("__oneof__", json::Value(std::move(alternatives)));
    return json::Value(std::move(mixed));
}

json::Value infer_array(ValueRefs arrays) {
    std::size_t total = 0;
    for (const json::Value* array : arrays) total += array->as_array().size();
    if (total == 0) return json::Value(json::Array());
    Refs items;
    items.reserve(total);
    for (const json::Value* array : arrays)
        for (const json::Value& item : array->as_array()) items.push_back(&item);
    json::Array schema;
    schema.push_back(infer(items));
    return json::Value(std::move(schema));
}

namespace {

bool same_keys(const json::Object& a, const json::Object& b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].first != b[i].first) return false;
    return true;
}

}  // namespace

json::Value infer_object(ValueRefs objects) {
    // One pass over the objects sorts every value under its key: the keys in order of first appearance
    // (views into the input), and per key its values in object order. Sampled records mostly share one
    // set of keys, so an object with the same keys as the one before reuses its key slots without hashing.
    std::vector<std::string_view> keys;
    std::unordered_map<std::string_view, std::size_t> slot_of_key;
    std::vector<Refs> values_of_key;
    std::vector<std::size_t> slots;  // the key slot of each entry of the previous object
    const json::Object* previous = nullptr;
    for (const json::Value* object : objects) {
        const json::Object& entries = object->as_object();
        if (previous == nullptr || !same_keys(entries, *previous)) {
            slots.clear();
            for (const auto& entry : entries) {
                auto [found, inserted] = slot_of_key.try_emplace(entry.first, keys.size());
                if (inserted) {
                    keys.push_back(entry.first);
                    values_of_key.emplace_back();
                }
                slots.push_back(found->second);
            }
            previous = &entries;
        }
        for (std::size_t i = 0; i < entries.size(); ++i) values_of_key[slots[i]].push_back(&entries[i].second);
    }

    // A key missing from some object is marked optional. A key whose value is null counts as present.
    json::Object entries;
    entries.reserve(keys.size());
    for (std::size_t slot = 0; slot < keys.size(); ++slot) {
        const Refs& values = values_of_key[slot];
        std::string name(keys[slot]);
        if (values.size() < objects.size()) name += '?';
        entries.emplace_back(std::move(name), infer(values));
    }

    // Objects hold their entries in byte order of the names. A literal key "k?" and a missing key "k" share
    // one name; the one met later in first-appearance order wins, which the stable sort keeps last.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    json::Object schema;
    schema.reserve(entries.size());
    for (auto& entry : entries) {
        if (!schema.empty() && schema.back().first == entry.first) schema.back().second = std::move(entry.second);
        else schema.push_back(std::move(entry));
    }
    return json::Value(std::move(schema));
}

// ---------------------------------------------------------------------------------------------------
// Sampling the records of a file

namespace {

using Records = std::vector<json::Value>;

constexpr std::size_t kChunkSize = 65536;
constexpr std::uint64_t kDefaultSample = 100;
constexpr std::string_view kLinePrefix = "invalid JSONL line: ";
constexpr std::string_view kElementPrefix = "invalid JSON element: ";
constexpr std::string_view kDocumentPrefix = "invalid JSON: ";

// Parses records into the sample, reusing its buffers from one record to the next.
class RecordParser {
public:
    explicit RecordParser(Records& records) : records_(records) {}

    Status parse(std::string_view text, std::string_view error_prefix) {
        json::ParseOutcome outcome = json::parse(text, sink_, scratch_);
        if (!outcome.ok()) return Failure(PyExc_ValueError, std::string(error_prefix) + outcome.error.text());
        records_.push_back(sink_.take());
        return success();
    }

    // An element's raw bytes become a record unless they are blank.
    Status take_element(std::string_view raw, std::string_view error_prefix) {
        std::string_view text = json::clean_element(raw, repaired_);
        if (text.empty()) return success();
        return parse(text, error_prefix);
    }

private:
    Records& records_;
    json::ValueSink sink_;
    std::string scratch_;   // decoded strings with escapes
    std::string repaired_;  // an element's text when its bytes were not UTF-8
};

// The first `sample` non-blank lines; at most one line more is read, and it is not looked at.
Result<Records> sample_lines(FileReader& file, std::uint64_t sample) {
    Records records;
    RecordParser parser(records);
    std::string line;
    for (;;) {
        line.clear();
        ReadOutcome got = file.read_line(line);
        if (got.ok() && got.bytes == 0) break;
        if (records.size() >= sample) break;
        if (!got.ok()) return read_error(*got.error);
        if (!json::is_valid_utf8(line)) return read_error(IoError{0, kInvalidUtf8Text});
        std::string_view text = json::trim_unicode_space(line);
        if (text.empty()) continue;
        Status parsed = parser.parse(text, kLinePrefix);
        if (!parsed) return std::move(parsed).failure();
    }
    return records;
}

// The first `sample` non-empty elements of a top-level array, or the single document of any other JSON
// file. Reading stops at the comma that completes the sample or at the closing bracket; with a sample of
// 0 the first element still counts, since the limit is tested only after an element ends.
Result<Records> sample_elements(FileReader& file, std::uint64_t sample) {
    Records records;
    RecordParser parser(records);
    auto chunk = std::make_unique_for_overwrite<char[]>(kChunkSize);
    std::size_t chunk_len = 0;
    std::size_t chunk_pos = 0;
    ElementSplitter splitter;
    std::string element;  // an element that straddles chunks, or the single document
    for (;;) {
        if (chunk_pos == chunk_len) {
            ReadOutcome got = file.read(chunk.get(), kChunkSize);
            if (!got.ok()) return read_error(*got.error);
            if (got.bytes == 0) break;
            chunk_len = got.bytes;
            chunk_pos = 0;
        }
        ElementSplitter::Step step = splitter.scan(chunk.get(), chunk_len, chunk_pos);
        if (step.stop == ElementSplitter::Stop::need_more) {
            element.append(step.piece);
            continue;
        }
        std::string_view raw = step.piece;  // an element wholly inside this chunk is parsed in place
        if (!element.empty()) {
            element.append(step.piece);
            raw = element;
        }
        Status taken = parser.take_element(raw, kElementPrefix);
        if (!taken) return std::move(taken).failure();
        element.clear();
        if (step.closed || records.size() >= sample) return records;
    }
    // End of file. An array that never closed keeps what it gave; its unfinished element is dropped.
    if (splitter.in_array()) return records;
    Status taken = parser.take_element(element, kDocumentPrefix);
    if (!taken) return std::move(taken).failure();
    return records;
}

// Opens the file and reads the sample; the file is closed when this returns.
Result<Records> sample_file(const std::string& path, Format format, std::uint64_t sample) {
    Result<FileReader> file = open_reader(path);
    if (!file) return std::move(file).failure();
    return format == Format::json ? sample_elements(*file, sample) : sample_lines(*file, sample);
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
        Result<Format> chosen = resolve_format(*path, *format);
        if (!chosen) return std::move(chosen).failure();

        Result<Records> records = sample_file(*path, *chosen, sample);
        if (!records) return std::move(records).failure();
        Refs refs;
        refs.reserve(records->size());
        for (const json::Value& record : *records) refs.push_back(&record);
        json::Value structure = infer(refs);

        std::string text;
        text.reserve(128);
        json::print_indented(structure, text);
        return py_str(text);
    });
}

}  // namespace

PyMethodDef schema_method = {
    "schema",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "schema(path, sample=100, format=None)\n--\n\n"
    "Infer the structure of the records in a JSON / JSONL file.\n"
    "\n"
    "Reads at most `sample` records (default 100) and returns a pretty-printed\n"
    "JSON string describing their merged structure.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.",
};

}  // namespace tovak::bigjson
