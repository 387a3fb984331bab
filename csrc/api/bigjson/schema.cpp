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

void Structure::add(const json::Value& value) {
    if (value.is_object()) add_object(value.as_object());
    else if (value.is_array()) add_array(value.as_array());
    else names_.insert(ScalarNames::of(value));
}

void Structure::add_array(const json::Array& items) {
    ++arrays_;
    if (items.empty()) return;
    if (!items_) items_ = std::make_unique<Structure>();
    for (const json::Value& item : items) items_->add(item);
}

void Structure::add_object(const json::Object& entries) {
    ++objects_;
    // Records mostly share one set of keys: an object with the keys of the one before reuses their slots
    // without hashing.
    bool same_keys = entries.size() == last_slots_.size();
    for (std::size_t i = 0; same_keys && i < entries.size(); ++i)
        same_keys = keys_[last_slots_[i]].key == entries[i].first;
    if (!same_keys) {
        last_slots_.clear();
        for (const auto& entry : entries) {
            auto found = slot_of_key_.find(entry.first);
            if (found == slot_of_key_.end()) {
                keys_.push_back(KeyPlace{entry.first, 0, std::make_unique<Structure>()});
                found = slot_of_key_.emplace(keys_.back().key, keys_.size() - 1).first;
            }
            last_slots_.push_back(found->second);
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        KeyPlace& place = keys_[last_slots_[i]];
        ++place.present;
        place.values->add(entries[i].second);
    }
}

json::Value Structure::schema() const {
    const int kinds = !names_.empty() + (arrays_ > 0) + (objects_ > 0);
    if (kinds == 0) return json::Value(std::string("unknown"));
    if (kinds == 1) {
        if (objects_ > 0) return object_schema();
        if (arrays_ > 0) return array_schema();
        return scalar_value(names_);
    }
    // Several kinds meet here: one alternative per kind, in the order scalar, array, object.
    json::Array alternatives;
    alternatives.reserve(3);
    if (!names_.empty()) alternatives.push_back(scalar_value(names_));
    if (arrays_ > 0) alternatives.push_back(array_schema());
    if (objects_ > 0) alternatives.push_back(object_schema());
    json::Object mixed;
    mixed.emplace_back("__oneof__", json::Value(std::move(alternatives)));
    return json::Value(std::move(mixed));
}

json::Value Structure::array_schema() const {
    json::Array schema;
    if (items_) schema.push_back(items_->schema());
    return json::Value(std::move(schema));
}

json::Value Structure::object_schema() const {
    // A key missing from some object is marked optional. A key whose value is null counts as present.
    json::Object entries;
    entries.reserve(keys_.size());
    for (const KeyPlace& place : keys_) {
        std::string name = place.key;
        if (place.present < objects_) name += '?';
        entries.emplace_back(std::move(name), place.values->schema());
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


constexpr std::uint64_t kDefaultSample = 100;
constexpr std::string_view kLinePrefix = "invalid JSONL line: ";
constexpr std::string_view kElementPrefix = "invalid JSON element: ";
constexpr std::string_view kDocumentPrefix = "invalid JSON: ";

// The sampled records, merged into their structure one by one as they are parsed; the sink's buffers are
// reused from one record to the next.
class Sample {
public:
    Status parse(std::string_view text, std::string_view error_prefix) {
        json::ParseOutcome outcome = json::parse(text, sink_, scratch_);
        if (!outcome.ok()) return Failure(PyExc_ValueError, std::string(error_prefix) + outcome.error.text());
        structure_.add(sink_.take());
        ++size_;
        return success();
    }

    // An element's raw bytes become a record unless they are blank.
    Status take_element(std::string_view raw, std::string_view error_prefix) {
        std::string_view text = json::clean_element(raw, repaired_);
        if (text.empty()) return success();
        return parse(text, error_prefix);
    }

    std::uint64_t size() const noexcept { return size_; }
    const Structure& structure() const noexcept { return structure_; }

private:
    Structure structure_;
    std::uint64_t size_ = 0;
    json::ValueSink sink_;
    std::string scratch_;   // decoded strings with escapes
    std::string repaired_;  // an element's text when its bytes were not UTF-8
};

// The first `sample` non-blank lines; at most one line more is read, and it is not looked at.
Status sample_lines(FileReader& file, std::uint64_t sample, Sample& parser) {
    std::string line;
    for (;;) {
        line.clear();
        ReadOutcome got = file.read_line(line);
        if (got.ok() && got.bytes == 0) break;
        if (parser.size() >= sample) break;
        if (!got.ok()) return read_error(*got.error);
        if (!json::is_valid_utf8(line)) return read_error(IoError{0, kInvalidUtf8Text});
        std::string_view text = json::trim_unicode_space(line);
        if (text.empty()) continue;
        Status parsed = parser.parse(text, kLinePrefix);
        if (!parsed) return parsed;
    }
    return success();
}

// The first `sample` non-empty elements of a top-level array, or the single document of any other JSON
// file. Reading stops at the comma that completes the sample or at the closing bracket; with a sample of
// 0 the first element still counts, since the limit is tested only after an element ends.
Status sample_elements(FileReader& file, std::uint64_t sample, Sample& parser) {
    auto chunk = std::make_unique_for_overwrite<char[]>(io::kChunkSize);
    std::size_t chunk_len = 0;
    std::size_t chunk_pos = 0;
    ElementSplitter splitter;
    std::string element;  // an element that straddles chunks, or the single document
    for (;;) {
        if (chunk_pos == chunk_len) {
            ReadOutcome got = file.read(chunk.get(), io::kChunkSize);
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
        if (!taken) return taken;
        element.clear();
        if (step.closed || parser.size() >= sample) return success();
    }
    // End of file. An array that never closed keeps what it gave; its unfinished element is dropped.
    if (splitter.in_array()) return success();
    return parser.take_element(element, kDocumentPrefix);
}

// Opens the file and reads the sample; the file is closed when this returns.
Status sample_file(const std::string& path, Format format, std::uint64_t sample, Sample& parser) {
    Result<FileReader> file = open_reader(path);
    if (!file) return std::move(file).failure();
    return format == Format::json ? sample_elements(*file, sample, parser) : sample_lines(*file, sample, parser);
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

        Sample records;
        Status sampled = sample_file(*path, *chosen, sample, records);
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
