// How the record engine is configured: one struct, filled by an API surface, read by the cutter and the
// counters. Each field says its default and what it changes.
//
// Thread rule: plain values, copied into each engine object when it is built.
#pragma once

#include <cerrno>
#include <cstdint>

#include "io/read.hpp"

namespace tovak::records {

// How records are cut out of the input; chosen once, when the cutter is built.
enum class Cut : std::uint8_t {
    lines,     // each non-blank line (JSONL)
    elements,  // each element of a top-level array; the single value of any other JSON text
    document,  // the whole input as one text, read into memory
};

// How forgiving the cutter is.
// `tolerant`:
//   lines     a line that is not UTF-8 fails (ErrorKind::invalid_utf8); the next call goes on after it
//   elements  ill-formed UTF-8 is replaced by U+FFFD; the bytes after a closing bracket are never read;
//             an array that never closes ends with its last complete element
//   document  input that is not UTF-8 fails
//   Records that are blank (only Unicode white space) are skipped in every cut.
// `strict` (the whole input must be one JSON text, or JSONL; lines are always tracked):
//   lines     as tolerant, but the text handed out is the whole line (only JSON white space is allowed
//             around the value; the parser says so) and a line that is not UTF-8 fails at its first bad byte
//   elements  no repair and no trimming: an element that is not UTF-8 fails at its first bad byte (the next
//             call goes on after it), a blank element (`[1,,2]`, `[1,]`) is handed out for the parser to
//             reject; an array that never closes hands out its unfinished last element marked
//             `unterminated` and then fails with "EOF while parsing a list"; bytes after the closing bracket
//             are read, and anything but JSON white space there fails with "trailing characters"
//   document  input that is not UTF-8 fails at its first bad byte
//   Input with no value at all (empty, or only white space) has no record, in every cut but document.
enum class Tolerance : std::uint8_t { tolerant, strict };

// Asked by long loops whether to stop, about every `RecordOptions::interrupt_every` bytes of input. A
// surface over the interpreter points it at a signal check; the engine itself knows nothing of Python.
struct InterruptCheck {
    bool (*interrupted)(void* context) = nullptr;  // true: stop with ErrorKind::interrupted; null: never asked
    void* context = nullptr;
};

struct RecordOptions {
    Cut cut = Cut::elements;                     // what a record is (see Cut)
    Tolerance tolerance = Tolerance::tolerant;   // what bad input does (see Tolerance)
    bool track_lines = false;                    // elements: the line of each record's start and that line's
                                                 // start (costs a pass counting line feeds); lines and
                                                 // document always know them; strict implies it
    InterruptCheck interrupt = {};               // asked while reading; default: never
    std::uint64_t interrupt_every = 4u << 20;    // bytes of input between two asks
};

// Counts the bytes a loop has read and asks the interrupt check once `interrupt_every` of them have
// passed. Owned by the loop that reads (one thread).
class InterruptClock {
public:
    explicit InterruptClock(const RecordOptions& options) noexcept
        : check_(options.interrupt), every_(options.interrupt_every) {}

    // Counts bytes read.
    void add(std::uint64_t bytes) noexcept { since_ += bytes; }

    // True when enough bytes have passed since the last ask and the check asks to stop. A loop asks before
    // it reads, so a stop never drops bytes it has read.
    bool interrupted() {
        if (since_ < every_ || check_.interrupted == nullptr) return false;
        since_ = 0;
        return check_.interrupted(check_.context);
    }

    // Runs `read` (a reader's read or read_line) and reads again when a signal cut it short (EINTR), unless
    // the check, asked at once, says stop: then `stopped()` is true. The bytes of every try are summed.
    template <class Read>
    io::ReadOutcome read(Read&& read) {
        std::size_t bytes = 0;
        for (;;) {
            io::ReadOutcome got = read();
            bytes += got.bytes;
            if (got.ok() || got.error->os_error != EINTR) return io::ReadOutcome{bytes, std::move(got.error)};
            if (check_.interrupted != nullptr && check_.interrupted(check_.context)) {
                stopped_ = true;
                return io::ReadOutcome{bytes, std::move(got.error)};
            }
        }
    }
    bool stopped() const noexcept { return stopped_; }

    // Both, for a loop that drops what it read anyway when it stops (a count).
    bool tick(std::uint64_t bytes) {
        add(bytes);
        return interrupted();
    }

private:
    InterruptCheck check_;
    std::uint64_t every_;
    std::uint64_t since_ = 0;
    bool stopped_ = false;
};

}  // namespace tovak::records
