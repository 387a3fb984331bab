// tovak.Structure: the structure summary of records (json/structure.hpp) as a Python object, so that parts
// of the records can be summarised apart (other processes, other machines) and merged in order. Built
// empty, from Python values (`add`, `from_records`) or by reading a source (`of`, the sampler of
// `schema`); printed as the schema text and as JSON Schema; pickled through its byte form.
#include "api/reader/structure.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/access.hpp"
#include "api/reader/mod.hpp"
#include "json/printer.hpp"
#include "records/cutter.hpp"
#include "records/pointer_cutter.hpp"
#include "records/sample.hpp"

// Reading a list's items or a dict's entries while another thread changes them: under the free-threaded
// build the container is locked for the read; elsewhere the interpreter lock does it. Each ends with a
// semicolon, as the interpreter's own macros do.
#if PY_VERSION_HEX >= 0x030D0000
#define TOVAK_BEGIN_LOCKED(obj) Py_BEGIN_CRITICAL_SECTION(obj)
#define TOVAK_END_LOCKED() Py_END_CRITICAL_SECTION()
#else
#define TOVAK_BEGIN_LOCKED(obj) {
#define TOVAK_END_LOCKED() }
#endif

namespace tovak::reader {

Status sample_structure(Source& input, const StreamOptions& options, std::uint64_t sample,
                        json::Structure& structure) {
    const records::Cut cut = cut_of(input.format());
    if (options.at) {
        records::PointerCutter<Reader, json::PythonRules> cutter(Reader{io::ByteSourceRef(input.bytes())},
                                                                 &*options.at, input.record_options(cut));
        if (std::optional<records::RecordError> failed =
                records::sample_records<json::PythonRules>(cutter, sample, cut, structure)) {
            if (failed->kind == records::ErrorKind::missing)
                return input.pointer_failure(records::describe_miss(*options.at, cutter.miss()), *failed);
            return input.failure(*failed);
        }
        return success();
    }
    records::RecordCutter<Reader> cutter(Reader{io::ByteSourceRef(input.bytes())}, input.record_options(cut));
    if (std::optional<records::RecordError> failed =
            records::sample_records<json::PythonRules>(cutter, sample, cut, structure))
        return input.failure(*failed);
    return success();
}

namespace {

struct StructureObject {
    PyObject_HEAD
    std::atomic<std::int64_t> access;
    json::Structure* structure;  // owned; never null once made
};

StructureObject* as_structure(PyObject* self) { return reinterpret_cast<StructureObject*>(self); }

Failure already_borrowed() { return Failure(PyExc_RuntimeError, "Already borrowed"); }
Failure mutably_borrowed() { return Failure(PyExc_RuntimeError, "Already mutably borrowed"); }

std::atomic<PyObject*> structure_type_cell{nullptr};

// A new Structure object owning `structure`.
Result<PyRef> wrap(std::unique_ptr<json::Structure> structure) {
    Result<PyRef> type = structure_type();
    if (!type) return type;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type->get());
    PyObject* self = type_object->tp_alloc(type_object, 0);
    if (self == nullptr) return Failure::from_python();
    new (&as_structure(self)->access) std::atomic<std::int64_t>(0);
    as_structure(self)->structure = structure.release();
    return PyRef::steal(self);
}

// ---- Python values to the value model (only what structure inference looks at)

Failure unsupported(PyObject* obj) {
    return Failure(PyExc_TypeError, std::string("records hold dict, list, tuple, str, int, float, bool or None, not '") +
                                        Py_TYPE(obj)->tp_name + "'");
}

// A key's UTF-8 bytes; lone surrogates as the parser keeps them (surrogatepass).
Result<std::string> key_bytes(PyObject* key) {
    if (!PyUnicode_Check(key)) {
        return Failure(PyExc_TypeError, std::string("keys must be str, not '") + Py_TYPE(key)->tp_name + "'");
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size)) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
    if (!encoded) return Failure::from_python();
    return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// Converts a record into the value model without recursion: a record may nest as deep as the parser lets
// one go, and a Python value can even contain itself, so the containers still to convert wait on a stack
// of their own (each holding a reference to its object) rather than on the thread's. A container's items
// are taken while it is locked and converted afterwards, first to last, so the first unsupported value met
// is the one a depth-first walk meets.
class Converter {
public:
    // The record as a value, or false (then `failure()` says why).
    bool convert(PyObject* record, json::Value& out) {
        pending_.push_back(Pending{PyRef::borrow(record), &out, 0});
        while (!pending_.empty()) {
            Pending next = std::move(pending_.back());
            pending_.pop_back();
            if (!value(next.object.get(), next.depth, *next.out)) return false;
        }
        return true;
    }
    // How deep the record converted last nests (0 for a scalar).
    std::size_t levels() const noexcept { return levels_; }
    Failure failure() { return std::move(*failure_); }

private:
    struct Pending {
        PyRef object;
        json::Value* out;  // a slot in a container already sized: it never moves
        int depth;
    };

    bool fail(PyObject* obj, int depth) {
        if (depth >= json::Structure::kMaxDepth) failure_.emplace(PyExc_ValueError, json::message::nesting_too_deep);
        else failure_.emplace(unsupported(obj));
        return false;
    }

    // Scalars keep only their kind: the summary never looks at a value.
    bool value(PyObject* obj, int depth, json::Value& out) {
        if (depth >= json::Structure::kMaxDepth) return fail(obj, depth);
        if (PyList_Check(obj) || PyTuple_Check(obj) || PyDict_Check(obj))
            levels_ = std::max(levels_, static_cast<std::size_t>(depth) + 1);
        if (obj == Py_None) out = json::Value();
        else if (PyBool_Check(obj)) out = json::Value(obj == Py_True);
        else if (PyLong_Check(obj)) out = json::Value(std::int64_t{0});
        else if (PyFloat_Check(obj)) out = json::Value(0.0);
        else if (PyUnicode_Check(obj)) out = json::Value(std::string());
        else if (PyList_Check(obj) || PyTuple_Check(obj)) items(obj, depth, out);
        else if (PyDict_Check(obj)) return entries(obj, depth, out);
        else return fail(obj, depth);
        return true;
    }

    void items(PyObject* sequence, int depth, json::Value& out) {
        const bool list = PyList_Check(sequence);
        out = json::Value(json::Array{});
        json::Array& items = out.as_array();
        TOVAK_BEGIN_LOCKED(sequence);
        const Py_ssize_t size = list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
        items.resize(static_cast<std::size_t>(size));
        for (Py_ssize_t i = size; i-- > 0;) {  // last first: the stack hands them out first to last
            PyObject* item = list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
            pending_.push_back(Pending{PyRef::borrow(item), &items[static_cast<std::size_t>(i)], depth + 1});
        }
        TOVAK_END_LOCKED();
    }

    bool entries(PyObject* dict, int depth, json::Value& out) {
        std::vector<std::pair<std::string, PyRef>> taken;
        bool ok = true;
        TOVAK_BEGIN_LOCKED(dict);
        taken.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t position = 0;
        PyObject *name = nullptr, *item = nullptr;
        while (PyDict_Next(dict, &position, &name, &item)) {
            Result<std::string> text = key_bytes(name);
            if (!text) {
                failure_.emplace(std::move(text).failure());
                ok = false;
                break;
            }
            taken.emplace_back(std::move(text).value(), PyRef::borrow(item));
        }
        TOVAK_END_LOCKED();
        if (!ok) return false;
        // The value model holds entries in byte order of the keys, as the parser's sink leaves them.
        std::stable_sort(taken.begin(), taken.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        out = json::Value(json::Object{});
        json::Object& entries = out.as_object();
        entries.resize(taken.size());
        for (std::size_t i = taken.size(); i-- > 0;) {
            entries[i].first = std::move(taken[i].first);
            pending_.push_back(Pending{std::move(taken[i].second), &entries[i].second, depth + 1});
        }
        return true;
    }

    std::vector<Pending> pending_;
    std::optional<Failure> failure_;
    std::size_t levels_ = 0;
};

// A record in the value model, and how deep it nests.
struct Converted {
    json::Value value;
    std::size_t levels;
};

Result<Converted> value_of(PyObject* record) {
    Converter converter;
    json::Value value;
    if (!converter.convert(record, value)) return converter.failure();
    return Converted{std::move(value), converter.levels()};
}

Status add_records(json::Structure& structure, PyObject* iterable) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
    if (!iterator) return Failure::from_python();
    while (PyRef record = PyRef::steal(PyIter_Next(iterator.get()))) {
        Result<Converted> converted = value_of(record.get());
        if (!converted) return std::move(converted).failure();
        structure.add(converted->value, converted->levels);
    }
    if (PyErr_Occurred()) return Failure::from_python();
    return success();
}

// ---- methods

PyObject* structure_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0))
            return Failure(PyExc_TypeError, "Structure() takes no arguments; see Structure.from_records and Structure.of");
        return wrap(std::make_unique<json::Structure>());
    });
}

PyObject* structure_add(PyObject* self, PyObject* record) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        // The value is made before the summary is held, so the summary is never held while Python runs.
        Result<Converted> converted = value_of(record);
        if (!converted) return std::move(converted).failure();
        api::ExclusiveAccess access(as_structure(self)->access);
        if (!access.held()) return already_borrowed();
        as_structure(self)->structure->add(converted->value, converted->levels);
        return PyRef::borrow(Py_None);
    });
}

PyObject* structure_merge(PyObject* self, PyObject* other) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<PyRef> type = structure_type();
        if (!type) return type;
        if (Py_TYPE(other) != reinterpret_cast<PyTypeObject*>(type->get())) return cast_error(other, "Structure");
        api::ExclusiveAccess access(as_structure(self)->access);
        if (!access.held()) return already_borrowed();
        if (other == self) {
            as_structure(self)->structure->merge(*as_structure(self)->structure);
        } else {
            api::SharedAccess reading(as_structure(other)->access);
            if (!reading.held()) return mutably_borrowed();
            as_structure(self)->structure->merge(*as_structure(other)->structure);
        }
        return PyRef::borrow(Py_None);
    });
}

// Runs `read` on the summary under shared access.
template <class Read>
PyObject* reading(PyObject* self, Read&& read) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_structure(self)->access);
        if (!access.held()) return mutably_borrowed();
        return read(*as_structure(self)->structure);
    });
}

PyObject* structure_schema(PyObject* self, PyObject*) noexcept {
    return reading(self, [](const json::Structure& structure) -> Result<PyRef> {
        std::string text;
        structure.print_schema(text);
        return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    });
}

PyObject* structure_json_schema(PyObject* self, PyObject*) noexcept {
    return reading(self, [](const json::Structure& structure) { return json_schema_object(structure); });
}

PyObject* structure_to_bytes(PyObject* self, PyObject*) noexcept {
    return reading(self, [](const json::Structure& structure) -> Result<PyRef> {
        std::string bytes;
        structure.encode(bytes);
        return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    });
}

PyObject* structure_from_bytes(PyObject*, PyObject* data) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return Failure::from_python();
        auto structure = std::make_unique<json::Structure>();
        const bool decoded = json::Structure::decode(
            std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)), *structure);
        PyBuffer_Release(&view);
        if (!decoded) return Failure(PyExc_ValueError, "not the bytes of a Structure (Structure.to_bytes makes them)");
        return wrap(std::move(structure));
    });
}

PyObject* structure_from_records(PyObject*, PyObject* records) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        auto structure = std::make_unique<json::Structure>();
        Status added = add_records(*structure, records);
        if (!added) return std::move(added).failure();
        return wrap(std::move(structure));
    });
}

const char* const kOfParams[] = {"source", "sample", "format", "at"};
constexpr Signature kOfSignature{"of", kOfParams, 4};

PyObject* structure_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<BoundArgs> bound = bind_arguments(kOfSignature, args, nargs, kwnames);
        if (!bound) return std::move(bound).failure();
        std::uint64_t sample = std::numeric_limits<std::uint64_t>::max();  // None: every record
        if (bound->slot[1] != nullptr && bound->slot[1] != Py_None) {
            Result<std::uint64_t> given = count_argument(bound->slot[1], "sample");
            if (!given) return std::move(given).failure();
            sample = *given;
        }
        Result<StreamOptions> options = stream_options(bound->slot[3], nullptr, nullptr);
        if (!options) return std::move(options).failure();
        Result<std::unique_ptr<Source>> source = Source::open(bound->slot[0], bound->slot[2]);
        if (!source) return std::move(source).failure();
        auto structure = std::make_unique<json::Structure>();
        Status sampled = sample_structure(*source.value(), options.value(), sample, *structure);
        if (!sampled) return std::move(sampled).failure();
        return wrap(std::move(structure));
    });
}

PyObject* structure_reduce(PyObject* self, PyObject*) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        PyRef bytes = PyRef::steal(structure_to_bytes(self, nullptr));
        if (!bytes) return Failure::from_python();
        PyRef from_bytes = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
        if (!from_bytes) return Failure::from_python();
        return checked(Py_BuildValue("(O(O))", from_bytes.get(), bytes.get()));
    });
}

void structure_dealloc(PyObject* self) noexcept {
    delete as_structure(self)->structure;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef structure_methods[] = {
    {"add", structure_add, METH_O,
     "add($self, record, /)\n--\n\nTakes in one record (dict, list, tuple, str, int, float, bool or None; dicts with "
     "str keys), after the records taken in so far."},
    {"merge", structure_merge, METH_O,
     "merge($self, other, /)\n--\n\nTakes in, in place, the records `other` summarises, as if they came after the ones "
     "taken in so far. Returns None; `other` is unchanged."},
    {"schema", structure_schema, METH_NOARGS,
     "schema($self, /)\n--\n\nThe merged structure as indented JSON text: what tovak.schema gives for the same records."},
    {"json_schema", structure_json_schema, METH_NOARGS,
     "json_schema($self, /)\n--\n\nThe merged structure as a JSON Schema dict: what tovak.json_schema gives for the same "
     "records."},
    {"to_bytes", structure_to_bytes, METH_NOARGS,
     "to_bytes($self, /)\n--\n\nThe summary as compact bytes, for Structure.from_bytes."},
    {"from_bytes", structure_from_bytes, METH_O | METH_CLASS,
     "from_bytes($cls, data, /)\n--\n\nThe Structure whose to_bytes() gave `data`; ValueError for other bytes."},
    {"from_records", structure_from_records, METH_O | METH_CLASS,
     "from_records($cls, records, /)\n--\n\nThe Structure of an iterable of records, in order."},
    {"of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(structure_of)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "of($cls, source, sample=None, format=None, at=None)\n--\n\nThe Structure of the first `sample` records of a "
     "source (every record when None), read as tovak.schema reads them."},
    {"__reduce__", structure_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot structure_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Structure()\n--\n\nThe merged structure of a sequence of records, the summary behind "
                    "tovak.schema and tovak.json_schema. Summaries of parts of the records merge in order and "
                    "pickle, so the parts can be summarised by different processes.")},
    {Py_tp_new, reinterpret_cast<void*>(structure_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(structure_dealloc)},
    {Py_tp_methods, structure_methods},
    {0, nullptr},
};

PyType_Spec structure_spec = {
    .name = "tovak.Structure",
    .basicsize = sizeof(StructureObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = structure_slots,
};

PyObject* make_structure_type() { return PyType_FromSpec(&structure_spec); }

}  // namespace

Result<PyRef> structure_type() { return once_object(structure_type_cell, make_structure_type); }

}  // namespace tovak::reader
