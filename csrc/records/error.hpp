// The record engine's failures as plain data: what went wrong, in which record and where. Any thread may
// make, hold and copy one; each API surface turns it into its own exception and wording (bigjson: the table
// in api/bigjson/mod.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "io/read.hpp"
#include "json/parser.hpp"

namespace tovak::records {

// What a record is, as the cutter reports it.
enum class RecordKind : std::uint8_t {
    line,      // a non-blank line of JSONL input
    element,   // an element of a top-level array
    document,  // the one value of input whose top level is not an array, or the whole input read as one text
};

enum class ErrorKind : std::uint8_t {
    io,            // the input could not be read (`io` says why); the same read is tried again on the next call
    invalid_utf8,  // a line or the whole document is not UTF-8; the cutter has moved past it
    syntax,        // the record's text is not JSON (`syntax` says what and where in the record)
    interrupted,   // the interrupt check of the options asked to stop (it has set whatever it reports)
    missing,       // the pointer cutter's pointer matches nothing (records/pointer_cutter.hpp says how far)
};

struct RecordError {
    ErrorKind kind = ErrorKind::io;
    RecordKind record_kind = RecordKind::line;  // the kind of record being read or parsed
    std::uint64_t record = 0;                   // its number, from 1 (for io: the number it would get)
    std::uint64_t offset = 0;                   // byte offset of its first byte in the input
    std::uint64_t line = 0;                     // line of that byte, from 1 (0 where the cutter keeps no lines)
    std::uint64_t line_start = 0;               // input offset of that line's first byte (when `line` is known)
    bool fatal = false;                         // the record's end is not known: reading cannot go on past it
    std::uint64_t lead = 0;                     // for syntax: white space trimmed before the parsed text
    json::ParseError syntax;                    // for syntax: message, line and column inside the record text
    io::IoError io;                             // for io: what the read reported

    // The failure's own text, without any surface's prefix.
    std::string message() const;
};

}  // namespace tovak::records
