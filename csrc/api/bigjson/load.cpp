#include "api/bigjson/load.hpp"

#include <atomic>
#include <cstring>

#include "json/text.hpp"

namespace tovak::bigjson {

namespace {

constexpr const char kElementPrefix[] = "invalid JSON element: ";
constexpr const char kLinePrefix[] = "invalid JSONL line: ";
constexpr const char kDocumentPrefix[] = "invalid JSON: ";

using Step = Result<std::optional<PyRef>>;

Step end_of_records() { return std::optional<PyRef>(); }

Step record(Result<PyRef> parsed) {
    if (!parsed) return std::move(parsed).failure();
    return std::optional<PyRef>(std::move(parsed).value());
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// RecordReader

RecordReader::RecordReader(FileReader file, Format format, std::uint64_t total_bytes)
    : file_(std::move(file)), format_(format), total_bytes_(total_bytes) {
    if (format_ == Format::json) chunk_.reset(new char[kChunkSize]());
}

Result<std::unique_ptr<RecordReader>> RecordReader::open(const std::string& path, Format format) {
    Result<FileReader> file = open_reader(path);
    if (!file) return std::move(file).failure();
    std::uint64_t size = file->size().value_or(0);
    return std::unique_ptr<RecordReader>(new RecordReader(std::move(file).value(), format, size));
}

Step RecordReader::next_record() { return format_ == Format::jsonl ? next_line() : next_element(); }

Step RecordReader::next_line() {
    for (;;) {
        line_.clear();
        ReadOutcome got = file_.read_line(line_);
        if (!got.ok()) return read_error(*got.error);
        if (got.bytes == 0) return end_of_records();
        // A line that is not UTF-8 is consumed but not counted as read.
        if (!json::is_valid_utf8(line_)) return read_error(IoError{0, kInvalidUtf8Text});
        bytes_read_ += got.bytes;
        std::string_view text = json::trim_unicode_space(line_);
        if (text.empty()) continue;
        return record(parser_.parse(text, kLinePrefix));
    }
}

Step RecordReader::finalize(std::string_view raw) {
    std::string_view text = json::clean_element(raw, clean_);
    if (text.empty()) return end_of_records();
    return record(parser_.parse(text, kElementPrefix));
}

Step RecordReader::next_element() {
    while (!done_) {
        if (chunk_pos_ == chunk_len_) {
            ReadOutcome got = file_.read(chunk_.get(), kChunkSize);
            if (!got.ok()) return read_error(*got.error);
            if (got.bytes == 0) {
                done_ = true;
                // An unfinished element of an array that never closes is dropped; a single document (or
                // nothing at all) is parsed now.
                if (splitter_.in_array()) return end_of_records();
                Step outcome = finalize(element_);
                element_.clear();
                return outcome;
            }
            chunk_len_ = got.bytes;
            chunk_pos_ = 0;
            bytes_read_ += got.bytes;
        }
        ElementSplitter::Step step = splitter_.scan(chunk_.get(), chunk_len_, chunk_pos_);
        if (step.stop == ElementSplitter::Stop::need_more) {
            element_.append(step.piece);
            continue;
        }
        closed_ = step.closed;
        // The array is finished once its closing bracket has ended an element, whatever that element held.
        if (closed_) done_ = true;
        Step outcome = [&] {
            if (element_.empty()) return finalize(step.piece);  // wholly inside this chunk: parse in place
            element_.append(step.piece);
            return finalize(element_);
        }();
        element_.clear();  // also after a failure, so one bad element does not spoil the next
        if (!outcome.ok() || outcome.value()) return outcome;
    }
    return end_of_records();
}

// ---------------------------------------------------------------------------------------------------
// load

namespace {

const char* const kFileParams[] = {"path", "format"};
constexpr Signature kLoadSignature{"load", kFileParams, 2};
constexpr Signature kIterSignature{"iter_records", kFileParams, 2};

Result<PyRef> load_document(const std::string& path) {
    Result<FileReader> file = open_reader(path);
    if (!file) return std::move(file).failure();
    // Sized from the file's metadata, plus room to notice a file that grew; grown by doubling otherwise.
    std::size_t capacity = static_cast<std::size_t>(file->size().value_or(0)) + 4096;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    std::size_t filled = 0;
    for (;;) {
        if (filled == capacity) {
            std::unique_ptr<char[]> larger(new char[capacity * 2]);
            std::memcpy(larger.get(), buffer.get(), filled);
            buffer = std::move(larger);
            capacity *= 2;
        }
        ReadOutcome got = file->read(buffer.get() + filled, capacity - filled);
        if (!got.ok()) return read_error(*got.error);
        if (got.bytes == 0) break;
        filled += got.bytes;
    }
    std::string_view text(buffer.get(), filled);
    if (!json::is_valid_utf8(text)) return read_error(IoError{0, kInvalidUtf8Text});
    KeyCache keys;
    return parse_to_python(text, keys, kDocumentPrefix);
}

Result<PyRef> load_lines(const std::string& path) {
    Result<std::unique_ptr<RecordReader>> opened = RecordReader::open(path, Format::jsonl);
    if (!opened) return std::move(opened).failure();
    RecordReader& reader = *opened.value();
    Result<PyRef> list = checked(PyList_New(0));
    if (!list) return list;
    reader.defer_tracking();
    for (;;) {
        Step step = reader.next_record();
        if (!step) return std::move(step).failure();
        if (!step.value()) break;
        if (PyList_Append(list->get(), step.value()->get()) < 0) return Failure::from_python();
    }
    reader.track_deferred();
    return list;
}

PyObject* load_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<FileCall> call = bind_file_call(kLoadSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        return call->format == Format::json ? load_document(call->path) : load_lines(call->path);
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

class SharedAccess {
public:
    explicit SharedAccess(RecordIteratorObject* self) : self_(self) {
        std::int64_t seen = self->access.load(std::memory_order_relaxed);
        while (seen != -1) {
            if (self->access.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) {
                held_ = true;
                return;
            }
        }
    }
    ~SharedAccess() {
        if (held_) self_->access.fetch_sub(1, std::memory_order_release);
    }
    bool held() const { return held_; }

private:
    RecordIteratorObject* self_;
    bool held_ = false;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(RecordIteratorObject* self) : self_(self) {
        std::int64_t expected = 0;
        held_ = self->access.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    ~ExclusiveAccess() {
        if (held_) self_->access.store(0, std::memory_order_release);
    }
    bool held() const { return held_; }

private:
    RecordIteratorObject* self_;
    bool held_ = false;
};

Failure mutably_borrowed() { return Failure(PyExc_RuntimeError, "Already mutably borrowed"); }

PyObject* iterator_iter(PyObject* self) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        SharedAccess access(as_iterator(self));
        if (!access.held()) return mutably_borrowed();
        return PyRef::borrow(self);
    });
}

PyObject* iterator_next(PyObject* self) noexcept {
    PyObject* out = nullptr;
    without_faults([&] {
        ExclusiveAccess access(as_iterator(self));
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
        SharedAccess access(as_iterator(self));
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
        Result<FileCall> call = bind_file_call(kIterSignature, args, nargs, kwnames);
        if (!call) return std::move(call).failure();
        Result<std::unique_ptr<RecordReader>> reader = RecordReader::open(call->path, call->format);
        if (!reader) return std::move(reader).failure();
        return new_record_iterator(std::move(reader).value());
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
