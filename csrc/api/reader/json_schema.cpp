// json_schema(source, sample=100, format=None): the structure the first `sample` records share (the
// sampler of `schema`), as a JSON Schema (draft 2020-12) in Python dicts and lists.
#include "api/reader/mod.hpp"
#include "api/reader/structure.hpp"

#include "json/structure.hpp"
#include "records/cutter.hpp"
#include "records/sample.hpp"

namespace tovak::reader {

namespace {

const char* const kParams[] = {"source", "sample", "format"};
constexpr Signature kSignature{"json_schema", kParams, 3};
constexpr std::uint64_t kDefaultSample = 100;
constexpr std::string_view kDialect = "https://json-schema.org/draft/2020-12/schema";

// A str of UTF-8 bytes; keys may hold lone surrogates (kept as the parser keeps them).
Result<PyRef> py_text(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// The schema value as Python objects, objects' entries in their own order. Schemas hold only strings,
// arrays and objects, as deep as the records sampled, which the parser's nesting limit bounds.
Result<PyRef> to_python(const json::Value& value) {
    switch (value.kind()) {
        case json::Value::Kind::string: return py_text(value.as_string());
        case json::Value::Kind::boolean: return PyRef::steal(PyBool_FromLong(value.as_bool()));
        case json::Value::Kind::array: {
            const json::Array& items = value.as_array();
            Result<PyRef> list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
            if (!list) return list;
            for (std::size_t i = 0; i < items.size(); ++i) {
                Result<PyRef> item = to_python(items[i]);
                if (!item) return item;
                PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());
            }
            return list;
        }
        case json::Value::Kind::object: {
            Result<PyRef> dict = checked(PyDict_New());
            if (!dict) return dict;
            for (const auto& [key, entry] : value.as_object()) {
                Result<PyRef> name = py_text(key);
                if (!name) return name;
                Result<PyRef> item = to_python(entry);
                if (!item) return item;
                if (PyDict_SetItem(dict->get(), name->get(), item->get()) < 0) return Failure::from_python();
            }
            return dict;
        }
        default: return PyRef::steal(Py_NewRef(Py_None));  // never in a schema
    }
}

PyObject* json_schema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<BoundArgs> bound = bind_arguments(kSignature, args, nargs, kwnames);
        if (!bound) return std::move(bound).failure();
        std::uint64_t sample = kDefaultSample;
        if (bound->slot[1] != nullptr) {
            Result<std::uint64_t> given = count_argument(bound->slot[1], "sample");
            if (!given) return std::move(given).failure();
            sample = *given;
        }
        Result<std::unique_ptr<Source>> source = Source::open(bound->slot[0], bound->slot[2]);
        if (!source) return std::move(source).failure();
        Source& input = *source.value();
        const records::Cut cut = cut_of(input.format());
        records::RecordCutter<Reader> cutter(Reader{io::ByteSourceRef(input.bytes())}, input.record_options(cut));
        json::Structure structure;
        if (std::optional<records::RecordError> failed =
                records::sample_records<json::PythonRules>(cutter, sample, cut, structure))
            return input.failure(*failed);
        return json_schema_object(structure);
    });
}

}  // namespace

Result<PyRef> json_schema_object(const json::Structure& structure) {
    json::Value schema = structure.json_schema();
    json::Object document;
    document.emplace_back("$schema", json::Value(std::string(kDialect)));
    for (auto& entry : schema.as_object()) document.push_back(std::move(entry));
    return to_python(json::Value(std::move(document)));
}

PyMethodDef json_schema_method = fastcall_method(
    "json_schema", json_schema_entry,
    "json_schema(source, sample=100, format=None)\n--\n\n"
    "The structure of the first `sample` records as a JSON Schema (draft 2020-12) dict.");

}  // namespace tovak::reader
