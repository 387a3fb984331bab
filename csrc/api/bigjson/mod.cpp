#include "api/bigjson/mod.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "api/bigjson/count.hpp"
#include "api/bigjson/load.hpp"
#include "api/bigjson/schema.hpp"
#include "api/submodule.hpp"

namespace tovak::bigjson {

// ---------------------------------------------------------------------------------------------------
// Input/output errors

Failure read_error(const IoError& error) { return Failure(PyExc_RuntimeError, "read error: " + error.text()); }

// ---------------------------------------------------------------------------------------------------
// Buffered file reader

FileReader::FileReader(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}

FileReader::FileReader(FileReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      pos_(other.pos_),
      filled_(other.filled_) {}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

ReadOutcome FileReader::read_file(char* dest, std::size_t n) {
    ssize_t got = ::read(fd_, dest, n);
    if (got < 0) return ReadOutcome{0, IoError{errno}};
    return ReadOutcome{static_cast<std::size_t>(got), std::nullopt};
}

ReadOutcome FileReader::fill_buffer() {
    ReadOutcome got = read_file(buffer_.get(), kBufferSize);
    if (got.ok()) {
        pos_ = 0;
        filled_ = got.bytes;
    }
    return got;
}

ReadOutcome FileReader::read(char* dest, std::size_t n) {
    if (pos_ == filled_) {
        if (n >= kBufferSize) return read_file(dest, n);
        ReadOutcome got = fill_buffer();
        if (!got.ok()) return got;
    }
    std::size_t take = std::min(n, filled_ - pos_);
    std::memcpy(dest, buffer_.get() + pos_, take);
    pos_ += take;
    return ReadOutcome{take, std::nullopt};
}

ReadOutcome FileReader::read_line(std::string& line) {
    std::size_t appended = 0;
    for (;;) {
        if (pos_ == filled_) {
            ReadOutcome got = fill_buffer();
            if (!got.ok()) return ReadOutcome{appended, got.error};
            if (got.bytes == 0) break;
        }
        const char* start = buffer_.get() + pos_;
        std::size_t available = filled_ - pos_;
        const void* lf = std::memchr(start, '\n', available);
        std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1 : available;
        line.append(start, take);
        pos_ += take;
        appended += take;
        if (lf) break;
    }
    return ReadOutcome{appended, std::nullopt};
}

std::optional<std::uint64_t> FileReader::size() const {
    struct stat status;
    if (::fstat(fd_, &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

Result<FileReader> open_reader(const std::string& path) {
    auto failure = [&](const IoError& error) {
        return Failure(PyExc_ValueError, "cannot open " + path + ": " + error.text());
    };
    if (path.find('\0') != std::string::npos) return failure(IoError{0, kNulInPathText});
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failure(IoError{errno});
    return FileReader(fd);
}

// ---------------------------------------------------------------------------------------------------
// Format resolution

namespace {

std::string ascii_lower(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

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

Result<Format> sniff(const std::string& path) {
    Result<FileReader> reader = open_reader(path);
    if (!reader) return std::move(reader).failure();
    char scratch[4096];
    for (;;) {
        ReadOutcome got = reader->read(scratch, sizeof scratch);
        if (!got.ok()) return Failure(PyExc_ValueError, "cannot read " + path + ": " + got.error->text());
        if (got.bytes == 0) return Format::jsonl;
        for (std::size_t i = 0; i < got.bytes; ++i) {
            auto b = static_cast<unsigned char>(scratch[i]);
            if (!is_space_byte(b)) return b == '[' ? Format::json : Format::jsonl;
        }
    }
}

}  // namespace

Result<Format> resolve_format(const std::string& path, const std::optional<std::string>& format) {
    if (format && !format->empty()) {
        std::string name = ascii_lower(*format);
        if (name == "json") return Format::json;
        if (name == "jsonl" || name == "ndjson") return Format::jsonl;
        if (name != "auto") {
            return Failure(PyExc_ValueError,
                           "unknown format " + quoted(name) + "; expected 'json', 'jsonl' or 'auto'");
        }
    }
    std::string lowered = ascii_lower(path);
    if (ends_with(lowered, ".jsonl") || ends_with(lowered, ".ndjson")) return Format::jsonl;
    if (ends_with(lowered, ".json")) return Format::json;
    return sniff(path);
}

Result<FileCall> bind_file_call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    Result<BoundArgs> bound = bind_arguments(signature, args, nargs, kwnames);
    if (!bound) return std::move(bound).failure();
    Result<std::string> path = text_argument(bound->slot[0], "path");
    if (!path) return std::move(path).failure();
    Result<std::optional<std::string>> format = optional_text_argument(bound->slot[1], "format");
    if (!format) return std::move(format).failure();
    Result<Format> chosen = resolve_format(*path, *format);
    if (!chosen) return std::move(chosen).failure();
    return FileCall{std::move(path).value(), *chosen};
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
