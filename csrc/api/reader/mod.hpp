// The package's own surface, the extension module `tovak.lib._reader`: count, load, records, schema and
// json_schema over any source (source.hpp), with the values Python's json module gives. The Python
// functions of the `tovak` package call these with their keyword-only arguments passed on.
//
// Thread rule: plain functions; each call owns what it opens; a Records object guards itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "api/frame.hpp"
#include "api/py_sink.hpp"
#include "api/reader/source.hpp"
#include "api/workers.hpp"
#include "records/options.hpp"

namespace tovak::reader {

// How this surface configures the Python sink: keys in file order, Python's rules for numbers, lone
// surrogates and nesting.
api::SinkOptions sink_options();
// Lines for JSONL; the elements of a top-level array (or the single value) for JSON.
records::Cut cut_of(io::Format format);
// A member of an object at a pointer as a record: the tuple (key, value); null with the exception set.
PyRef member_pair(std::string_view key, const PyRef& value);

using api::size_from_environment;

extern PyMethodDef count_method;
extern PyMethodDef load_method;
extern PyMethodDef records_method;
extern PyMethodDef schema_method;
extern PyMethodDef json_schema_method;

// The Records class object, created once per process.
Result<PyRef> records_type();

// Adds the functions and the class to the module.
Status register_module(PyObject* module);

}  // namespace tovak::reader
