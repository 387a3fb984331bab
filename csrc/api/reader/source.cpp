#include "api/reader/source.hpp"

#include <string_view>

#include "api/py_sink.hpp"
#include "api/range_count.hpp"
#include "io/decompress.hpp"
#include "io/py_file.hpp"
#include "json/detect.hpp"
#include "json/text.hpp"

namespace tovak::reader {

namespace {

constexpr const char kSourceTypes[] =
    "a path (str or os.PathLike), '-' for standard input, a binary file object or a bytes-like object";

// Content detection looks at a window that grows until the first value tells (json/detect.hpp).
constexpr std::size_t kLongestWindow = 1 << 20;

// Asked by the input layer while it waits for input: a signal handler that raised (Ctrl-C) ends the wait.
std::optional<io::IoError> pending_signal() {
    if (PyErr_CheckSignals() < 0) return io::IoError{0, nullptr, {}, io::IoError::Kind::python};
    return std::nullopt;
}

bool has_attribute(PyObject* obj, const char* name) {
    PyRef found = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!found) PyErr_Clear();
    return static_cast<bool>(found);
}

// The str of a path given as bytes (os.fsdecode), for messages.
PyRef decoded_path(PyObject* bytes) {
    PyRef name = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes)));
    if (!name) PyErr_Clear();
    return name;
}

std::string utf8_of(PyObject* str) {
    if (str == nullptr || !PyUnicode_Check(str)) return {};
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogateescape"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// JSON or JSONL by the name, its compression suffix removed: the suffixes the module-level readers know,
// and .geojson; nothing when the name does not tell.
std::optional<io::Format> format_by_name(std::string_view name) {
    const std::string_view stem = io::without_compression_suffix(name);
    if (std::optional<io::Format> known = io::format_from_suffix(stem)) return known;
    if (io::ascii_lower(stem).ends_with(".geojson")) return io::Format::json;
    return std::nullopt;
}

// An instance of one of tovak's exception classes (tovak/_errors.py), made by calling it with `args`.
Failure tovak_exception(const char* class_name, PyRef args) {
    if (!args) return Failure::from_python();
    PyRef module = PyRef::steal(PyImport_ImportModule("tovak._errors"));
    if (!module) return Failure::from_python();
    PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!type) return Failure::from_python();
    PyRef exception = PyRef::steal(PyObject_CallObject(type.get(), args.get()));
    if (!exception) return Failure::from_python();
    return Failure::from_exception(std::move(exception));
}

// Py_BuildValue's "K" for a position that may be unknown (None).
PyObject* optional_number(std::optional<std::uint64_t> value) {
    if (!value) return Py_NewRef(Py_None);
    return PyLong_FromUnsignedLongLong(*value);
}

}  // namespace

Source::~Source() {
    // The input reads the exported buffer: it goes first, the buffer after it.
    input_ = io::Input{};
    if (buffer_) PyBuffer_Release(buffer_.get());
}

Result<std::unique_ptr<Source>> Source::open(PyObject* source, PyObject* format) {
    std::unique_ptr<Source> opened(new Source());
    // The format argument is checked before anything is opened.
    Result<std::optional<std::string>> named = optional_text_argument(format, "format");
    if (!named) return std::move(named).failure();
    std::optional<io::Format> chosen;
    if (named.value() && !named.value()->empty()) {
        switch (io::format_named(io::ascii_lower(*named.value()))) {
            case io::FormatName::json: chosen = io::Format::json; break;
            case io::FormatName::jsonl: chosen = io::Format::jsonl; break;
            case io::FormatName::detect: break;
            case io::FormatName::unknown: {
                PyRef shown = PyRef::steal(PyObject_Repr(format));
                if (!shown) return Failure::from_python();
                return Failure(PyExc_ValueError, "unknown format " + utf8_of(shown.get()) +
                                                     "; expected 'json', 'jsonl', 'ndjson' or 'auto'");
            }
        }
    }
    Status input = opened->open_input(source);
    if (!input) return std::move(input).failure();
    Status detected = opened->choose_format(chosen);
    if (!detected) return std::move(detected).failure();
    return opened;
}

Status Source::open_input(PyObject* source) {
    io::InputOptions options{.read_ahead = io::ReadAhead::automatic, .interrupt_check = pending_signal};
    io::IoResult<io::Input> opened = io::IoError{};
    PyRef path;
    if (PyUnicode_Check(source)) {
        path = PyRef::borrow(source);
    } else if (!PyBytes_Check(source) && has_attribute(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__fspath__")) {
        path = PyRef::steal(PyOS_FSPath(source));
        if (!path) return Failure::from_python();
    }
    if (path && PyUnicode_Check(path.get()) && PyUnicode_CompareWithASCIIString(path.get(), "-") == 0) {
        name_ = PyRef::steal(PyUnicode_FromString("<stdin>"));
        opened = io::open_input_fd(0, io::FdOwnership::borrowed, options);
    } else if (path) {
        PyRef encoded;
        if (PyUnicode_Check(path.get())) {
            encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
            if (!encoded) return Failure::from_python();
            name_ = PyRef::borrow(path.get());
        } else {
            encoded = PyRef::borrow(path.get());
            name_ = decoded_path(path.get());
        }
        path_.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        opened = io::open_input_path(path_, options);
    } else if (PyObject_CheckBuffer(source)) {
        buffer_ = std::make_unique<Py_buffer>();
        if (PyObject_GetBuffer(source, buffer_.get(), PyBUF_SIMPLE) < 0) {
            buffer_.reset();
            return Failure::from_python();
        }
        object_ = PyRef::borrow(source);
        opened = io::open_input_memory(
            std::string_view(static_cast<const char*>(buffer_->buf), static_cast<std::size_t>(buffer_->len)), options);
    } else if (has_attribute(source, "readinto") || has_attribute(source, "read")) {
        object_ = PyRef::borrow(source);
        PyRef name = PyRef::steal(PyObject_GetAttrString(source, "name"));
        if (name && PyUnicode_Check(name.get())) name_ = std::move(name);
        else PyErr_Clear();
        opened = io::open_input_file_object(source, options);
    } else {
        std::string message = "source must be ";
        message.append(kSourceTypes).append(", not '").append(Py_TYPE(source)->tp_name).append("'");
        return Failure(PyExc_TypeError, std::move(message));
    }
    if (!opened.ok()) return io_failure(opened.error());
    input_ = std::move(opened).value();
    return success();
}

Status Source::choose_format(std::optional<io::Format> chosen) {
    // A byte-order mark is skipped whatever the format; its bytes still count in positions.
    // (More than one byte is waited for only when the first one may begin the mark: a pipe that has sent
    // one short line must not be waited on.)
    io::IoResult<std::string_view> head = input_.source->peek(1);
    if (!head.ok()) return io_failure(head.error());
    if (head.value() == "\xEF") {
        head = input_.source->peek(3);
        if (!head.ok()) return io_failure(head.error());
        if (head.value() == "\xEF\xBB\xBF") skipped_ = 3;
    }
    if (!chosen && name_) chosen = format_by_name(utf8_of(name_.get()));
    if (!chosen && !path_.empty()) chosen = format_by_name(path_);
    // What was read already first, then one read at a time, so that a pipe is decided as soon as what
    // arrived tells. Input that can be read at any position (a file, bytes) never keeps a read waiting: its
    // window is filled first, so that a long first line is looked at once rather than once per read.
    const std::optional<io::PositionalBytes> at_rest = chosen ? std::nullopt : input_.source->positional();
    const bool fill_window = at_rest.has_value();
    if (at_rest && at_rest->memory() != nullptr) {
        // Bytes in memory are looked at where they lie, the whole window at once.
        const std::string_view window(at_rest->memory(), std::min<std::uint64_t>(at_rest->size(), kLongestWindow));
        chosen = json::detect_text_kind(window.substr(std::min<std::size_t>(skipped_, window.size())), true) ==
                         json::TextKind::jsonl
                     ? io::Format::jsonl
                     : io::Format::json;
    }
    json::TextKindScan scan;
    for (std::string_view seen = input_.source->peeked(); !chosen;) {
        const bool complete = input_.source->peek_ended() || seen.size() >= kLongestWindow;
        if (fill_window && !complete) {
            io::IoResult<std::string_view> more = input_.source->peek_more(kLongestWindow);
            if (!more.ok()) return io_failure(more.error());
            seen = more.value();
            continue;
        }
        std::optional<json::TextKind> kind = scan.look(seen.substr(std::min<std::size_t>(skipped_, seen.size())), complete);
        if (kind) {
            chosen = *kind == json::TextKind::jsonl ? io::Format::jsonl : io::Format::json;
            break;
        }
        io::IoResult<std::string_view> more = input_.source->peek_more(kLongestWindow);
        if (!more.ok()) return io_failure(more.error());
        seen = more.value();
    }
    format_ = *chosen;
    // The mark goes before the engine sees the first byte.
    for (std::uint64_t dropped = 0; dropped < skipped_;) {
        char mark[3];
        io::ReadOutcome got = input_.source->read(mark, skipped_ - dropped);
        if (!got.ok()) return io_failure(*got.error);
        if (got.bytes == 0) break;  // not reached: the mark was peeked
        dropped += got.bytes;
    }
    return success();
}

bool Source::starts_with_array() const noexcept { return array_start().has_value(); }

std::optional<std::uint64_t> Source::array_start() const noexcept {
    return api::array_bracket(input_.source->peeked());
}

records::RecordOptions Source::record_options(records::Cut cut) const {
    records::RecordOptions options;
    options.cut = cut;
    options.tolerance = records::Tolerance::strict;
    options.interrupt = api::python_signal_check();
    return options;
}

Failure Source::io_failure(const io::IoError& error) const {
    PyObject* name = name_ ? name_.get() : Py_None;
    switch (error.kind) {
        case io::IoError::Kind::python: return Failure::from_python();
        case io::IoError::Kind::damaged:
            return tovak_exception("CompressionError", PyRef::steal(Py_BuildValue("(s#O)", error.text().data(),
                                                                                  static_cast<Py_ssize_t>(error.text().size()), name)));
        case io::IoError::Kind::wrong_type: return Failure(PyExc_TypeError, error.text());
        case io::IoError::Kind::file_object: return Failure(PyExc_ValueError, error.text());
        case io::IoError::Kind::other: break;
    }
    if (error.os_error != 0) {
        // OSError(errno, text, filename) picks the subclass of the error number (FileNotFoundError, ...).
        PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "(isO)", error.os_error,
                                                             strerror(error.os_error), name));
        if (!exception) return Failure::from_python();
        return Failure::from_exception(std::move(exception));
    }
    if (error.fixed_text == io::kInvalidUtf8Text) {
        return tovak_exception("JSONError", PyRef::steal(Py_BuildValue("(sO)", "invalid UTF-8", name)));
    }
    return Failure(PyExc_OSError, error.text());
}

Failure Source::failure(const records::RecordError& error) const {
    PyObject* name = name_ ? name_.get() : Py_None;
    switch (error.kind) {
        case records::ErrorKind::interrupted: return Failure::from_python();
        case records::ErrorKind::io: return io_failure(error.io);
        case records::ErrorKind::invalid_utf8: {
            const std::optional<std::uint64_t> line =
                error.line != 0 ? std::optional<std::uint64_t>(error.line) : std::nullopt;
            std::optional<std::uint64_t> column;
            if (line) column = error.offset - error.line_start + 1 + (*line == 1 ? skipped_ : 0);
            const std::optional<std::uint64_t> record =
                error.record != 0 && error.record_kind != records::RecordKind::document
                    ? std::optional<std::uint64_t>(error.record) : std::nullopt;
            return tovak_exception("JSONError",
                                   PyRef::steal(Py_BuildValue("(sONNNN)", "invalid UTF-8", name,
                                                              optional_number(skipped_ + error.offset),
                                                              optional_number(line), optional_number(column),
                                                              optional_number(record))));
        }
        case records::ErrorKind::missing:  // worded by the caller, who knows the pointer (pointer_failure)
            return Failure(PyExc_LookupError, error.message());
        case records::ErrorKind::syntax: break;
    }
    // `error.offset` is where the record's text starts; the parser's position is inside that text. An error
    // found at a byte is at the byte before its offset; one found at the end of the text is at the end.
    json::ParseError syntax = error.syntax;
    // An element's text ends at its comma or bracket, not at the end of the input.
    if (error.record_kind == records::RecordKind::element && !error.fatal &&
        std::string_view(syntax.message) == json::message::eof_value)
        syntax.message = json::message::expected_value;
    const bool at_end = std::string_view(syntax.message).starts_with("EOF") ||
                        (syntax.message == json::message::expected_value && error.syntax.message != syntax.message);
    const std::uint64_t pos = skipped_ + error.offset + error.lead + syntax.offset - (at_end || syntax.offset == 0 ? 0 : 1);
    std::optional<std::uint64_t> line, column;
    if (error.line != 0) {
        line = error.line + syntax.line - 1;
        // The columns of the text's first line count from where the text starts on its line.
        std::uint64_t first_column = error.offset + error.lead - error.line_start;
        bool known = true;
        if (*line == 1) first_column += skipped_;
        if (known || syntax.line > 1) column = (syntax.line == 1 ? first_column : 0) + syntax.column + (at_end ? 1 : 0);
    }
    const std::optional<std::uint64_t> record =
        error.record_kind == records::RecordKind::document ? std::nullopt : std::optional<std::uint64_t>(error.record);
    return tovak_exception(
        "JSONError", PyRef::steal(Py_BuildValue("(sONNNN)", syntax.message, name, optional_number(pos),
                                                optional_number(line), optional_number(column),
                                                optional_number(record))));
}

Failure Source::pointer_failure(const std::string& message, const records::RecordError& error) const {
    PyObject* name = name_ ? name_.get() : Py_None;
    const bool located = error.record_kind == records::RecordKind::line;
    return tovak_exception(
        "PointerError",
        PyRef::steal(Py_BuildValue("(s#ONN)", message.data(), static_cast<Py_ssize_t>(message.size()), name,
                                   optional_number(located ? std::optional<std::uint64_t>(error.line) : std::nullopt),
                                   optional_number(located ? std::optional<std::uint64_t>(error.record)
                                                           : std::nullopt))));
}

}  // namespace tovak::reader
