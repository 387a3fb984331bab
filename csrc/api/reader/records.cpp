// records(source, format=None, at=None, errors="raise", raw=False) and the Records class: a lazy iterator
// over the records of any source (stream.hpp), in constant memory, with progress counted on the input as
// stored, the errors of skipped records, close() and `with` support.
//
// Thread rule: one Records object may be shared between threads; its access flag (api/access.hpp) lets
// one next() or close() in at a time and fails a conflicting use at once instead of waiting.
#include <atomic>
#include <memory>

#include "api/access.hpp"
#include "api/py_records.hpp"
#include "api/reader/mod.hpp"
#include "api/reader/stream.hpp"

namespace tovak::reader {

namespace {

const char* const kParams[] = {"source", "format", "at", "errors", "raw", "threads"};
constexpr Signature kSignature{"records", kParams, 6};

// What an open Records object owns.
struct RecordsState {
    RecordsState(std::unique_ptr<Source> opened, StreamOptions options)
        : stream(std::move(opened), std::move(options)) {}

    RecordStream stream;
    std::uint64_t yielded = 0;
};

struct RecordsObject {
    PyObject_HEAD
    std::atomic<std::int64_t> access;
    RecordsState* state;  // owned; null once closed
};

RecordsObject* as_records(PyObject* self) { return reinterpret_cast<RecordsObject*>(self); }

Failure already_borrowed() { return Failure(PyExc_RuntimeError, "Already borrowed"); }
Failure mutably_borrowed() { return Failure(PyExc_RuntimeError, "Already mutably borrowed"); }
Failure closed() { return Failure(PyExc_ValueError, "I/O operation on closed Records"); }

PyObject* records_iter(PyObject* self) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_records(self)->access);
        if (!access.held()) return mutably_borrowed();
        return PyRef::borrow(self);
    });
}

PyObject* records_next(PyObject* self) noexcept {
    PyObject* out = nullptr;
    without_faults([&] {
        Result<std::optional<PyRef>> step = [&]() -> Result<std::optional<PyRef>> {
            api::ExclusiveAccess access(as_records(self)->access);
            if (!access.held()) return already_borrowed();
            RecordsState* state = as_records(self)->state;
            if (state == nullptr) return closed();
            Result<std::optional<PyRef>> value = state->stream.next();
            if (value && value.value()) ++state->yielded;
            return value;
        }();
        if (!step) step.failure().raise();
        else if (step.value()) out = step.value()->release();
        // At the end nothing is returned and no exception is set: the interpreter's StopIteration.
    });
    return out;
}

// Drops the state: the file closes, a read-ahead thread stops, buffers are freed. Idempotent.
PyObject* records_close(PyObject* self, PyObject*) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::ExclusiveAccess access(as_records(self)->access);
        if (!access.held()) return already_borrowed();
        delete std::exchange(as_records(self)->state, nullptr);
        return PyRef::borrow(Py_None);
    });
}

PyObject* records_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* records_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    PyObject* done = records_close(self, nullptr);
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    return Py_NewRef(Py_False);  // exceptions pass on
}

// bytes_read / total_bytes: progress on the input as stored; total_bytes is None when its size is unknown
// (a pipe, a file object).
// errors / error_count: the errors of the records skipped with errors="skip".
template <bool kCount>
PyObject* records_errors(PyObject* self, void*) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_records(self)->access);
        if (!access.held()) return mutably_borrowed();
        const RecordsState* state = as_records(self)->state;
        if (state == nullptr) return closed();
        if constexpr (kCount) {
            return py_uint(state->stream.error_count());
        } else {
            PyObject* kept = state->stream.errors();
            if (kept == nullptr) return checked(PyList_New(0));
            return checked(PyList_GetSlice(kept, 0, PyList_GET_SIZE(kept)));
        }
    });
}

template <bool kTotal>
PyObject* records_progress(PyObject* self, void*) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_records(self)->access);
        if (!access.held()) return mutably_borrowed();
        const RecordsState* state = as_records(self)->state;
        if (state == nullptr) return closed();
        if constexpr (kTotal) {
            std::optional<std::uint64_t> size = state->stream.source().stored_size();
            if (!size) return PyRef::borrow(Py_None);
            return py_uint(*size);
        } else {
            return py_uint(state->stream.source().stored_bytes_read());
        }
    });
}

PyObject* records_repr(PyObject* self) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        api::SharedAccess access(as_records(self)->access);
        if (!access.held()) return checked(PyUnicode_FromString("<tovak.Records (busy)>"));
        const RecordsState* state = as_records(self)->state;
        if (state == nullptr) return checked(PyUnicode_FromString("<tovak.Records closed>"));
        PyObject* name = state->stream.source().name() != nullptr ? state->stream.source().name() : Py_None;
        const char* format = state->stream.source().format() == io::Format::json ? "json" : "jsonl";
        return checked(PyUnicode_FromFormat("<tovak.Records source=%R format='%s' records=%llu bytes_read=%llu>",
                                            name, format, static_cast<unsigned long long>(state->yielded),
                                            static_cast<unsigned long long>(state->stream.source().stored_bytes_read())));
    });
}

void records_dealloc(PyObject* self) noexcept {
    delete as_records(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef records_methods[] = {
    {"close", records_close, METH_NOARGS,
     "Close the input (a file object given is left open). Idempotent; next() afterwards raises ValueError."},
    {"__enter__", records_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef records_getset[] = {
    {"bytes_read", records_progress<false>, nullptr,
     "Bytes of the input consumed so far, as stored (compressed bytes for compressed input).", nullptr},
    {"total_bytes", records_progress<true>, nullptr,
     "The size of the input as stored, or None when it is not known (a pipe, a file object).", nullptr},
    {"errors", records_errors<false>, nullptr,
     "The JSONError (or PointerError) of each record skipped so far with errors='skip': the first 1,000.",
     nullptr},
    {"error_count", records_errors<true>, nullptr, "How many records were skipped so far with errors='skip'.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot records_slots[] = {
    {Py_tp_doc, const_cast<char*>("A lazy iterator over the records of an input; made by tovak.records().")},
    {Py_tp_iter, reinterpret_cast<void*>(records_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(records_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(records_repr)},
    {Py_tp_methods, records_methods},
    {Py_tp_getset, records_getset},
    {0, nullptr},
};

PyType_Spec records_spec = {
    .name = "tovak.Records",
    .basicsize = sizeof(RecordsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = records_slots,
};

PyObject* make_records_type() { return PyType_FromSpec(&records_spec); }

std::atomic<PyObject*> records_type_cell{nullptr};

PyObject* records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<BoundArgs> bound = bind_arguments(kSignature, args, nargs, kwnames);
        if (!bound) return std::move(bound).failure();
        Result<StreamOptions> options = stream_options(bound->slot[2], bound->slot[3], bound->slot[4]);
        if (!options) return std::move(options).failure();
        Result<std::size_t> threads = threads_argument(bound->slot[5]);
        if (!threads) return std::move(threads).failure();
        Result<std::unique_ptr<Source>> source = Source::open(bound->slot[0], bound->slot[1]);
        if (!source) return std::move(source).failure();
        if (options->raw != RawMode::none) {
            options->cut_ahead = cuts_ahead(*threads, *source.value());
        } else {
            Result<std::size_t> workers = worker_count(*threads, *source.value(), true);
            if (!workers) return std::move(workers).failure();
            options->threads = *workers;
            // Records at a pointer parsed on this thread alone (always so with the GIL): the validator that
            // finds them runs ahead on a worker of its own, which never touches the interpreter.
            if (options->at && options->threads == 1) options->cut_ahead = cuts_ahead(*threads, *source.value());
        }
        auto state = std::make_unique<RecordsState>(std::move(source).value(), std::move(options).value());
        Result<PyRef> type = records_type();
        if (!type) return type;
        auto* type_object = reinterpret_cast<PyTypeObject*>(type->get());
        PyObject* self = type_object->tp_alloc(type_object, 0);
        if (self == nullptr) return Failure::from_python();
        new (&as_records(self)->access) std::atomic<std::int64_t>(0);
        as_records(self)->state = state.release();
        return PyRef::steal(self);
    });
}

}  // namespace

Result<PyRef> records_type() { return once_object(records_type_cell, make_records_type); }

PyMethodDef records_method = fastcall_method(
    "records", records_entry,
    "records(source, format=None, at=None, errors='raise', raw=False, threads=None)\n--\n\n"
    "A lazy iterator over the records of an input, in constant memory; parsed on `threads` threads (raw\n"
    "JSON records: cut on one worker thread while this one reads and makes the bytes).");

}  // namespace tovak::reader
