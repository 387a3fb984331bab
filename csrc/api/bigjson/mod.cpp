// Also holds, beside what mod.hpp declares, the quoting of a format name for the "unknown format" text.
#include "api/bigjson/mod.hpp"

#include <cstdio>

#include "api/bigjson/count.hpp"
#include "api/bigjson/load.hpp"
#include "api/bigjson/schema.hpp"
#include "api/submodule.hpp"

namespace tovak::bigjson {

// ---------------------------------------------------------------------------------------------------
// Engine options and errors

records::RecordOptions record_options(records::Cut cut) {
    return records::RecordOptions{
        .cut = cut,
        .tolerance = records::Tolerance::tolerant,
        .track_lines = false,
        .interrupt = api::python_signal_check(),
    };
}

api::SinkOptions sink_options() {
    return api::SinkOptions{.keys = api::KeyOrder::sorted, .rules = api::Rules::fixed_width};
}

namespace {

constexpr const char kReadErrorPrefix[] = "read error: ";
constexpr const char kKindAttribute[] = "_tovak_kind";

// The prefix of a syntax error, by the kind of record that failed.
const char* syntax_prefix(records::RecordKind kind, SingleValue single) {
    switch (kind) {
        case records::RecordKind::line: return "invalid JSONL line: ";
        case records::RecordKind::element: return "invalid JSON element: ";
        case records::RecordKind::document: break;
    }
    return single == SingleValue::as_element ? "invalid JSON element: " : "invalid JSON: ";
}

}  // namespace

Failure record_failure(const records::RecordError& error, SingleValue single) {
    switch (error.kind) {
        case records::ErrorKind::io:
            return Failure(PyExc_RuntimeError, kReadErrorPrefix + error.io.text()).with_attribute(kKindAttribute, "io");
        case records::ErrorKind::invalid_utf8:
            return Failure(PyExc_RuntimeError, std::string(kReadErrorPrefix) + io::kInvalidUtf8Text)
                .with_attribute(kKindAttribute, "invalid_utf8");
        case records::ErrorKind::syntax:
            return Failure(PyExc_ValueError, syntax_prefix(error.record_kind, single) + error.syntax.text())
                .with_attribute(kKindAttribute, "syntax");
        case records::ErrorKind::missing:  // only the package's pointer cutter reports it
        case records::ErrorKind::interrupted: break;
    }
    return Failure::from_python();  // the signal handler's exception
}

// ---------------------------------------------------------------------------------------------------
// Format resolution

namespace {

// Characters shown as \u{...} in a quoted text: those the interpreter does not count as printable
// (controls, formatting and private-use characters, separators other than the space, unassigned code
// points), and the combining marks that attach to the character before them.
bool shown_as_escape(char32_t c) {
    if (!Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c))) return true;
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) || (c >= 0x0591 && c <= 0x05BD)) return true;
    if ((c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF)) return true;
    if ((c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F)) return true;
    if (c >= 0xE0100 && c <= 0xE01EF) return true;
    return false;
}

// The value between double quotation marks, with the escapes a debugging display uses.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = bytes[i];
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        length = std::min(length, text.size() - i);
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (bytes[i + k] & 0x3F);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (shown_as_escape(c)) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
                    out += hex;
                } else {
                    out.append(text.substr(i, length));
                }
        }
        i += length;
    }
    out += '"';
    return out;
}

Failure open_failure(const std::string& path, const io::IoError& error) {
    return Failure(PyExc_ValueError, "cannot open " + path + ": " + error.text());
}

}  // namespace

Result<FileCall> resolve_format(std::string path, const std::optional<std::string>& format) {
    if (format && !format->empty()) {
        std::string name = io::ascii_lower(*format);
        switch (io::format_named(name)) {
            case io::FormatName::json: return FileCall{std::move(path), Format::json, std::nullopt};
            case io::FormatName::jsonl: return FileCall{std::move(path), Format::jsonl, std::nullopt};
            case io::FormatName::detect: break;
            case io::FormatName::unknown:
                return Failure(PyExc_ValueError,
                               "unknown format " + quoted(name) + "; expected 'json', 'jsonl' or 'auto'");
        }
    }
    if (std::optional<Format> by_name = io::format_from_suffix(path))
        return FileCall{std::move(path), *by_name, std::nullopt};
    io::OpenOutcome opened = io::open_file_reader(path);
    if (!opened.ok()) return open_failure(path, opened.error);
    // A regular file is opened again by the call and read from its start; anything else could not give the
    // bytes read here a second time, so it stays open and gets them back.
    const bool reopen = opened.file->raw().regular();
    std::string kept;
    io::SniffOutcome sniffed = io::sniff_format(*opened.file, reopen ? nullptr : &kept);
    if (sniffed.error) return Failure(PyExc_ValueError, "cannot read " + path + ": " + sniffed.error->text());
    if (reopen) return FileCall{std::move(path), sniffed.format, std::nullopt};
    opened.file->unread(kept);
    return FileCall{std::move(path), sniffed.format, std::move(opened.file)};
}

Result<io::FileReader> open_input(FileCall& call) {
    if (call.opened) return std::move(*call.opened);
    io::OpenOutcome opened = io::open_file_reader(call.path);
    if (!opened.ok()) return open_failure(call.path, opened.error);
    return std::move(*opened.file);
}

Result<OpenFile> open_file_call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    Result<BoundArgs> bound = bind_arguments(signature, args, nargs, kwnames);
    if (!bound) return std::move(bound).failure();
    Result<std::string> path = text_argument(bound->slot[0], "path");
    if (!path) return std::move(path).failure();
    Result<std::optional<std::string>> format = optional_text_argument(bound->slot[1], "format");
    if (!format) return std::move(format).failure();
    Result<FileCall> call = resolve_format(std::move(path).value(), *format);
    if (!call) return std::move(call).failure();
    Result<io::FileReader> file = open_input(*call);
    if (!file) return std::move(file).failure();
    return OpenFile{call->format, std::move(file).value()};
}

// ---------------------------------------------------------------------------------------------------
// Registration

namespace {

// The submodule's functions, in the order they are published.
PyMethodDef* const kFunctions[] = {
    &count_method,
    &schema_method,
    &load_method,
    &iter_records_method,
};

}  // namespace

Status register_module(PyObject* parent) {
    Result<PyRef> submodule = new_submodule(parent, "bigjson");
    if (!submodule) return std::move(submodule).failure();
    PyObject* module = submodule->get();

    PyRef module_name = PyRef::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return Failure::from_python();
    for (PyMethodDef* def : kFunctions) {
        Result<PyRef> function = checked(PyCFunction_NewEx(def, module, module_name.get()));
        if (!function) return std::move(function).failure();
        PyRef name = PyRef::steal(PyObject_GetAttrString(function->get(), "__name__"));
        if (!name) return Failure::from_python();
        Status listed = append_to_all(module, name.get());
        if (!listed) return listed;
        if (PyObject_SetAttr(module, name.get(), function->get()) < 0) return Failure::from_python();
    }
    Result<PyRef> iterator_class = record_iterator_type();
    if (!iterator_class) return std::move(iterator_class).failure();
    PyRef class_name = PyRef::steal(PyUnicode_FromString("RecordIterator"));
    if (!class_name) return Failure::from_python();
    Status listed = append_to_all(module, class_name.get());
    if (!listed) return listed;
    if (PyObject_SetAttr(module, class_name.get(), iterator_class->get()) < 0) return Failure::from_python();
    return success();
}

}  // namespace tovak::bigjson
