#include "api/bigjson/load.hpp"

#include "api/access.hpp"
#include "api/collector.hpp"
#include "api/py_records.hpp"

#include <atomic>
#include <memory>

namespace tovak::bigjson {

namespace {

using Step = Result<std::optional<PyRef>>;

template <class Reader>
Step next_value(records::RecordCutter<Reader>& cutter, api::PyParser& parser, SingleValue single) {
    return api::next_value(cutter, parser, [&](const records::RecordError& error) { return record_failure(error, single); });
}

records::Cut cut_of(Format format) { return format == Format::jsonl ? records::Cut::lines : records::Cut::elements; }

}  // namespace

// ---------------------------------------------------------------------------------------------------
// RecordReader

RecordReader::RecordReader(io::FileReader file, Format format)
    : total_bytes_(file.size().value_or(0)),
      cutter_(std::move(file), record_options(cut_of(format))),
      parser_(sink_options()) {}

Step RecordReader::next_record() { return next_value(cutter_, parser_, SingleValue::as_element); }

// ---------------------------------------------------------------------------------------------------
// load

namespace {

const char* const kFileParams[] = {"path", "format"};
constexpr Signature kLoadSignature{"load", kFileParams, 2};
constexpr Signature kIterSignature{"iter_records", kFileParams, 2};

// The whole file as one JSON text.
Result<PyRef> load_document(io::FileReader file) {
    records::RecordCutter<io::FileReader> cutter(std::move(file), record_options(records::Cut::document));
    api::PyParser parser(sink_options());
    Step step = next_value(cutter, parser, SingleValue::as_document);
    if (!step) return std::move(step).failure();
    return std::move(*step.value());  // a document cut always gives its one record or a failure
}

// Every line of a JSONL file, in one list.
Result<PyRef> load_lines(io::FileReader file) {
    records::RecordCutter<io::FileReader> cutter(std::move(file), record_options(records::Cut::lines));
    api::PyParser parser(sink_options());
    return api::gather_list(parser, [&] { return next_value(cutter, parser, SingleValue::as_element); });
}

PyObject* load_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<OpenFile> call = open_file_call(kLoadSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        const api::CollectorPause pause;  // the result cannot hold a cycle before it is returned
        return call->format == Format::json ? load_document(std::move(call->file)) : load_lines(std::move(call->file));
    });
}

}  // namespace

PyMethodDef load_method = fastcall_method(
    "load", load_entry,
    "load(path, format=None)\n--\n\n"
    "Load a JSON / JSONL file fully into memory and return it as a Python object.\n"
    "\n"
    "- JSON: returns the parsed top-level document (list / dict / scalar), exactly\n"
    "  like `json.load`.\n"
    "- JSONL: returns a `list` with one entry per non-empty line.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.\n"
    "\n"
    "This reads everything at once; use `iter_records` for constant-memory\n"
    "streaming over large files.");

// ---------------------------------------------------------------------------------------------------
// RecordIterator

namespace {

// The access flag: 0 free, -1 held by one __next__, n > 0 held by n readers of a property or __iter__.
// Nothing ever waits on it: a conflicting use fails at once.
struct RecordIteratorObject {
    PyObject_HEAD
    std::atomic<std::int64_t> access;
    RecordReader* reader;  // owned
};

RecordIteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<RecordIteratorObject*>(self); }

Failure mutably_borrowed() { return Failure(PyExc_RuntimeError, "Already mutably borrowed"); }

PyObject* iterator_iter(PyObject* self) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_iterator(self)->access);
        if (!access.held()) return mutably_borrowed();
        return PyRef::borrow(self);
    });
}

PyObject* iterator_next(PyObject* self) noexcept {
    PyObject* out = nullptr;
    without_faults([&] {
        api::ExclusiveAccess access(as_iterator(self)->access);
        if (!access.held()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        Step step = as_iterator(self)->reader->next_record();
        if (!step) {
            step.failure().raise();
            return;
        }
        // At the end nothing is returned and no exception is set: the interpreter's StopIteration.
        if (step.value()) out = step.value()->release();
    });
    return out;
}

template <std::uint64_t (RecordReader::*Counter)() const noexcept>
PyObject* iterator_counter(PyObject* self, void*) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_iterator(self)->access);
        if (!access.held()) return mutably_borrowed();
        return py_uint((as_iterator(self)->reader->*Counter)());
    });
}

void iterator_dealloc(PyObject* self) noexcept {
    delete as_iterator(self)->reader;  // closes the file
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef iterator_getset[] = {
    {"bytes_read", iterator_counter<&RecordReader::bytes_read>, nullptr,
     "Bytes consumed from the file so far (for progress reporting).", nullptr},
    {"total_bytes", iterator_counter<&RecordReader::total_bytes>, nullptr,
     "Total size of the file in bytes (0 if it could not be determined).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python iterator wrapper returned by [`iter_records`].")},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_getset, iterator_getset},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "builtins.RecordIterator",
    sizeof(RecordIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iterator_slots,
};

PyObject* make_iterator_type() { return PyType_FromSpec(&iterator_spec); }

std::atomic<PyObject*> iterator_type_cell{nullptr};

Result<PyRef> new_record_iterator(std::unique_ptr<RecordReader> reader) {
    Result<PyRef> type = record_iterator_type();
    if (!type) return type;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type->get());
    PyObject* self = type_object->tp_alloc(type_object, 0);
    if (self == nullptr) return Failure::from_python();
    new (&as_iterator(self)->access) std::atomic<std::int64_t>(0);
    as_iterator(self)->reader = reader.release();
    return PyRef::steal(self);
}

PyObject* iter_records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<OpenFile> call = open_file_call(kIterSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        return new_record_iterator(std::make_unique<RecordReader>(std::move(call->file), call->format));
    });
}

}  // namespace

Result<PyRef> record_iterator_type() {
    Result<PyRef> type = once_object(iterator_type_cell, make_iterator_type);
    if (type) return type;
    return Failure(PyExc_RuntimeError, "An error occurred while initializing class RecordIterator")
        .caused_by(std::move(type).failure());
}

PyMethodDef iter_records_method = fastcall_method(
    "iter_records", iter_records_entry,
    "iter_records(path, format=None)\n--\n\n"
    "Return a lazy iterator over the records of a JSON / JSONL file.\n"
    "\n"
    "Yields one record at a time without loading the whole file:\n"
    "- JSON array: each element;\n"
    "- JSON scalar / object: the single value (once);\n"
    "- JSONL: each non-empty line.\n"
    "\n"
    "The iterator exposes `bytes_read` and `total_bytes` for progress bars\n"
    "(percent = bytes_read / total_bytes).\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.");

}  // namespace tovak::bigjson
