// The bigjson surface: registration, the choice of file format, how its calls configure the record engine,
// and the one table that turns the engine's plain-data errors into bigjson's exceptions and texts.
//
// Thread rule: plain functions; each call owns what it opens.
#pragma once

#include <optional>
#include <string>

#include "api/frame.hpp"
#include "api/py_sink.hpp"
#include "io/file_reader.hpp"
#include "io/format.hpp"
#include "records/error.hpp"
#include "records/options.hpp"

namespace tovak::bigjson {

using io::Format;

// A file argument with its format resolved. Detection on a file that cannot be read twice (a pipe, a FIFO,
// a terminal) keeps that file open in `opened`, the bytes it read handed back; a regular file is opened
// again by the call, from its start.
struct FileCall {
    std::string path;
    Format format;
    std::optional<io::FileReader> opened;
};

// The format named by the caller, or by the path's suffix, or by the file's first significant byte.
Result<FileCall> resolve_format(std::string path, const std::optional<std::string>& format);

// The call's file: the one detection kept open, or the path opened now; ValueError
// "cannot open <path>: <error>" on failure.
Result<io::FileReader> open_input(FileCall& call);

// The (path, format=None) arguments shared by count, load and iter_records: bound, converted in order,
// the format resolved and the file opened.
struct OpenFile {
    Format format;
    io::FileReader file;
};
Result<OpenFile> open_file_call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// The engine's options as bigjson's rules fill them: records cut by `cut`, tolerant, no line tracking,
// interrupted by Ctrl-C; dicts with sorted keys, numbers in the fixed-width forms.
records::RecordOptions record_options(records::Cut cut);
api::SinkOptions sink_options();

// How a function words a failed single value (a JSON text whose top level is not an array): iter_records
// calls it an element, load and schema the JSON text.
enum class SingleValue { as_document, as_element };

// The exception for an engine error: "read error: <error>" (RuntimeError) for io and invalid UTF-8, the
// record kind's prefix and the parser's text (ValueError) for syntax, the pending exception for an
// interrupt. Each carries the attribute `_tovak_kind` ("io", "invalid_utf8", "syntax") for the command line.
Failure record_failure(const records::RecordError& error, SingleValue single = SingleValue::as_document);

// Adds the submodule and its functions and class to the extension module.
Status register_module(PyObject* parent);

}  // namespace tovak::bigjson
