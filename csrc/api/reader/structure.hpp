// The structure summary of the package's surface: the `tovak.Structure` class (structure.cpp), the sampler
// that `schema` and `Structure.of` share, and `split_blocks` (blocks.cpp), the boundary scan that cuts one
// big input into blocks of whole records for readers running apart (tovak.dask).
//
// Thread rule: a Structure object may be shared between threads; its access flag (api/access.hpp) lets
// one change (add, merge) or any number of reads in at a time and fails a conflicting use at once. The
// functions run on the caller's thread, attached to the interpreter.
#pragma once

#include <cstdint>

#include "api/frame.hpp"
#include "api/reader/source.hpp"
#include "api/reader/stream.hpp"
#include "json/structure.hpp"

namespace tovak::reader {

// Merges the first `sample` records of `input` (the records at `options.at` when it is set) into
// `structure`; the failure of the record that ends the reading otherwise.
Status sample_structure(Source& input, const StreamOptions& options, std::uint64_t sample,
                        json::Structure& structure);

// The JSON Schema document of a summary (its "$schema" first) as Python dicts, lists and strs.
Result<PyRef> json_schema_object(const json::Structure& structure);

// The Structure class object, created once per process.
Result<PyRef> structure_type();

extern PyMethodDef split_blocks_method;

}  // namespace tovak::reader
