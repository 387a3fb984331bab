// json_schema(source, sample=100, format=None): the structure the first `sample` records share (the
// sampler of `schema`), as a JSON Schema (draft 2020-12) in Python dicts and lists.
#include <vector>

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
// arrays and objects, nesting as deep as the records sampled (thousands of levels): the containers being
// filled wait on a list of their own rather than on the thread's stack.
Result<PyRef> to_python(const json::Value& root) {
    struct Open {
        const json::Value* value;
        PyRef made;
        std::size_t next;  // entries put in so far
    };
    std::vector<Open> open;
    const json::Value* value = &root;
    for (;;) {
        // Makes `value`: a string is done at once, a container opens empty and its entries come next.
        PyRef done;
        if (value->is_array() || value->is_object()) {
            const bool array = value->is_array();
            Result<PyRef> made =
                array ? checked(PyList_New(static_cast<Py_ssize_t>(value->as_array().size()))) : checked(PyDict_New());
            if (!made) return made;
            open.push_back(Open{value, std::move(made).value(), 0});
        } else {
            Result<PyRef> scalar = value->is_string()                           ? py_text(value->as_string())
                                   : value->kind() == json::Value::Kind::boolean ? checked(PyBool_FromLong(value->as_bool()))
                                                                                 : checked(Py_NewRef(Py_None));  // never in a schema
            if (!scalar) return scalar;
            done = std::move(scalar).value();
        }
        // Puts what is done into its container; a container with all its entries in is done in turn.
        for (;;) {
            if (done) {
                if (open.empty()) return done;
                Open& parent = open.back();
                if (parent.value->is_array()) {
                    PyList_SET_ITEM(parent.made.get(), static_cast<Py_ssize_t>(parent.next), done.release());
                } else {
                    Result<PyRef> name = py_text(parent.value->as_object()[parent.next].first);
                    if (!name) return name;
                    if (PyDict_SetItem(parent.made.get(), name->get(), done.get()) < 0) return Failure::from_python();
                    done = PyRef();
                }
                ++parent.next;
            }
            Open& top = open.back();
            if (top.value->is_array() && top.next < top.value->as_array().size()) {
                value = &top.value->as_array()[top.next];
                break;
            }
            if (top.value->is_object() && top.next < top.value->as_object().size()) {
                value = &top.value->as_object()[top.next].second;
                break;
            }
            done = std::move(top.made);
            open.pop_back();
        }
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
