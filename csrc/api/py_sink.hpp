// JSON text straight to Python objects, shared by every API surface: a parser sink that builds
// None/bool/int/float/str/list/dict without an intermediate tree, configured by `SinkOptions`; a cache of key
// strings shared by the objects of one call or iterator (and by the calls in a row on one thread); and the
// interrupt check the record engine asks.
//
// Thread rule: every object here is owned by one call or iterator and used by one thread at a time,
// attached to the interpreter. A parser borrows its thread's key cache and buffers for its life (see
// PyParser); no state is shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/frame.hpp"
#include "json/parser.hpp"
#include "records/options.hpp"

namespace tovak::api {

// The order of a dict's keys.
enum class KeyOrder : std::uint8_t {
    sorted,      // ascending UTF-8 byte order; of equal keys the last one's value wins
    file_order,  // the order of first appearance in the text; of equal keys the last one's value wins
};

// How numbers, lone surrogate escapes and nesting are read: the parser's rule set (json/parser.hpp).
enum class Rules : std::uint8_t {
    fixed_width,  // integers exact within 64 bits, other numbers doubles ("-0" too), a number beyond the
                  // double range an error, lone surrogate escapes an error, 127 levels of nesting
    python,       // as Python's json module: integers of any size exact, "-0" the integer 0, infinities
                  // beyond the double range, lone surrogates kept in the str, 10,000 levels of nesting
};

// How the Python sink builds objects; filled by each surface.
struct SinkOptions {
    KeyOrder keys = KeyOrder::sorted;          // dict key order (see KeyOrder)
    Rules rules = Rules::fixed_width;          // number forms, surrogates and nesting (see Rules)
    std::uint32_t signal_check_every = 1u << 16;  // values built between two checks for a pending signal
                                                  // (Ctrl-C) on the main thread; 0: never checked
};

// An interrupt check for the record engine's options: true, with the interpreter's exception set, when a
// signal handler raised (KeyboardInterrupt on Ctrl-C). Only the main thread ever sees a signal.
records::InterruptCheck python_signal_check() noexcept;

struct KeyHead;  // the first bytes of a key (py_sink.cpp)

// Remembers how the keys of recent objects sort, found by the key objects themselves in text order: the
// objects of one shape (the records of an array, as a rule) are sorted once. An entry holds references to
// its keys, so no key it names can be freed and its address reused for other text while the entry lives;
// the same objects in the same order are therefore the same texts, which sort the same way. Bounded:
// kSlots direct-mapped entries of at most kMaxKeys keys, a newer shape evicting an older one in its slot.
// Owned by a KeyCache and used like it; destroyed while attached to the interpreter.
class SortedShapes {
public:
    static constexpr std::size_t kSlots = 256;
    static constexpr std::size_t kMaxKeys = 64;

    SortedShapes() = default;
    SortedShapes(const SortedShapes&) = delete;
    SortedShapes& operator=(const SortedShapes&) = delete;
    ~SortedShapes();

    // For `count` (at most kMaxKeys) borrowed key objects in text order: the positions of the keys in
    // ascending order, equal keys in text order, when this shape is remembered; null otherwise. `hash` is
    // set either way, for `remember`.
    const std::uint32_t* find(PyObject* const* keys, std::size_t count, std::uint64_t& hash) const noexcept;
    // Remembers `order` (as `find` gives it) for the keys `find` was asked about and hashed.
    void remember(std::uint64_t hash, PyObject* const* keys, std::size_t count, const std::uint32_t* order);

private:
    struct Entry {
        std::uint64_t hash = 0;
        std::vector<PyObject*> keys;  // owned references; empty when the entry is unused
        std::vector<std::uint32_t> order;
    };
    std::unique_ptr<Entry[]> entries_;  // allocated on first use
};

// Remembers the `str` objects made for object keys, so repeated keys share one object (and its cached
// hash). Bounded: keys of up to kMaxKeyBytes bytes in sets of two slots (one cache line), a new key
// evicting the older of the two in its set, so two keys of one set do not evict each other in turn (which
// would also make every object holding them a new shape for SortedShapes). The table starts at
// kInitialSlots and grows to kSlots when a set first overflows, so a small document does not pay for
// clearing and walking the large table. Owned by a thread state (lent to one parser at a time) or by one
// parser, and used by one thread at a time; it must be destroyed while attached to the interpreter.
//
// The sink borrows the strs it gets, for the text under way: a str the cache lets go of meanwhile (an
// evicted key, or one too long to keep) is parked until `release_parked`, which the sink calls when the
// text's objects hold their keys. That saves taking and dropping a reference for every key.
class KeyCache {
public:
    static constexpr std::size_t kMaxKeyBytes = 64;
    static constexpr std::size_t kInitialSlots = 128;
    static constexpr std::size_t kSlots = 2048;
    static_assert(kSlots <= 65536, "slot numbers are kept in 16 bits");
    // Guesses of where a key is, one for each place a key can take: its object's nesting depth and its
    // position in the object (see guess_index).
    static constexpr std::size_t kGuesses = 512;
    static constexpr std::size_t guess_index(std::size_t depth, std::size_t position) noexcept {
        return (depth * 32 + position) & (kGuesses - 1);
    }

    KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache();

    // Drops the strs let go of since the last call (see above).
    void release_parked() noexcept {
        if (parked_.empty()) return;
        for (PyObject* str : parked_) Py_DECREF(str);
        parked_.clear();
    }

    // The sorted orders of the objects made of this cache's keys.
    SortedShapes& shapes() noexcept { return shapes_; }

private:
    friend class PyObjectSink;  // shares the key's first bytes, which it reads anyway


    // A key of up to 16 bytes is told by its tag and head alone, without touching the str; a longer
    // one is compared with the str's ASCII data or its cached UTF-8 form.
    struct Slot {
        PyObject* str;          // owned; null when the slot is empty
        std::uint64_t tag;      // the hash above its low byte, the size in it
        std::uint64_t head[2];  // the first 16 bytes, zero-padded
    };
    struct alignas(64) Set {
        Slot ways[2];  // the newer key first
    };
    // A borrowed reference, valid until release_parked (or null with a Python exception set). `guess`
    // (guess_index) names the key's place: a key of up to 16 bytes found in the slot that held the last
    // key met in that place is taken without hashing, as the keys of an array's records mostly are.
    PyObject* borrow(std::string_view utf8, bool ascii, const KeyHead& head, std::size_t guess);
    PyObject* insert(std::string_view utf8, bool ascii, const KeyHead& head, const Slot*& guess);
    // Where a new key of `tag` goes: an empty slot of its set, or the first after moving the older key
    // out and the newer into the second (the filled slots stay filled).
    Slot& place(std::uint64_t tag);
    void grow();

    std::unique_ptr<Set[]> slots_;  // allocated on first use
    std::size_t slot_count_ = 0;
    std::vector<std::uint16_t> filled_;  // the slots holding a str, so teardown skips the empty ones
    std::vector<PyObject*> parked_;      // owned: let go of while a text may still use them
    // For each place, the slot its last key was found in or put in (null: none, or the table has grown
    // since). A slot stays filled once filled, and a key of up to 16 bytes is told by its size and
    // head, so a guess whose slot has taken another key since only fails the comparison.
    std::unique_ptr<const Slot*[]> guesses_;  // allocated with the slots
    SortedShapes shapes_;
};

// A new `str` holding the UTF-8 text (`ascii` true when every byte is below 0x80), or null with a Python
// exception set.
PyObject* make_str(std::string_view utf8, bool ascii);

// The finished values waiting for their container to close: owned references, added and dropped at the
// top. Not a std::vector, so that a push is always the few instructions inlined into the parser's loop
// (a compiler left to itself calls the vector's append out of line at some of the parser's push sites),
// with only the growth out of line. Used like PyObjectSink, which holds it.
class ValueStack {
public:
    ValueStack() noexcept = default;
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;
    ValueStack(ValueStack&& other) noexcept { swap(other); }
    ValueStack& operator=(ValueStack&& other) noexcept {
        swap(other);
        return *this;
    }
    ~ValueStack();

    std::size_t size() const noexcept { return static_cast<std::size_t>(top_ - base_); }
    std::size_t capacity() const noexcept { return static_cast<std::size_t>(limit_ - base_); }
    // The values from position `from` on, borrowed.
    PyObject* const* from(std::size_t from) const noexcept { return base_ + from; }

    // Takes over the reference `owned`. False with MemoryError set when there was no room to grow (the
    // reference is then dropped).
    [[gnu::always_inline]] bool push(PyObject* owned) noexcept {
        if (top_ == limit_) [[unlikely]] {
            if (!grow()) {
                Py_DECREF(owned);
                return false;
            }
        }
        *top_++ = owned;
        return true;
    }
    // Drops the values from position `size` on.
    void drop_from(std::size_t size) noexcept {
        PyObject** keep = base_ + size;
        while (top_ != keep) Py_DECREF(*--top_);
    }
    // Forgets the values from position `size` on: the caller took their references over.
    void forget_from(std::size_t size) noexcept { top_ = base_ + size; }
    void swap(ValueStack& other) noexcept;

private:
    bool grow() noexcept;

    PyObject** base_ = nullptr;
    PyObject** top_ = nullptr;
    PyObject** limit_ = nullptr;
};

// Builds Python objects from parser events. Finished values wait on a stack until their container closes;
// a list is then made at its exact size, and a dict is filled in ascending byte order of the keys, the
// last of equal keys winning. Every object held is owned, so a failed or abandoned parse releases all of
// it. Containers stay off the garbage collector's lists until `take` hands the tree out (a fresh tree
// holds no cycle, and collections triggered by its own allocations would otherwise walk it again and
// again). Reusable: `reset` (or a successful `take`) empties it while keeping its buffers.
class PyObjectSink {
public:
    PyObjectSink(KeyCache& keys, const SinkOptions& options)
        : key_cache_(keys), options_(options), signal_countdown_(options.signal_check_every) {}

    bool null();
    bool boolean(bool value);
    bool uint(std::uint64_t value);
    bool sint(std::int64_t value);
    bool dbl(double value);
    bool big_integer(std::string_view text);  // python rules: an integer beyond the 64-bit forms
    bool string(std::string_view utf8, bool ascii);
    bool begin_array();
    bool end_array();
    bool begin_object();
    bool key(std::string_view utf8, bool ascii);
    bool key(std::string_view utf8, bool ascii, std::uint64_t head_low, std::uint64_t head_high);
    bool end_object();

    // The finished object, after a successful parse.
    PyRef take();
    // Drops everything held by the parse under way (after a failed parse).
    void reset();

    // For a caller that gathers many trees into one result the user sees only at the end (load of a
    // JSONL file): `take` leaves the containers untracked until `track_deferred`, so collections during
    // the whole load do not walk the records already read. Trees handed out must stay alive until then.
    //
    // Not on the free-threaded build: its collector walks every object of the heap, tracked or not, and
    // schedules the next collection from the number of tracked survivors, so untracked trees make it run
    // every few thousand allocations over an ever larger heap (quadratic); tracked, they space it out.
    void defer_tracking() noexcept {
#ifndef Py_GIL_DISABLED
        defer_ = true;
        untrack_recorded();
#endif
    }
    void track_deferred();

private:
    friend class PyParser;  // lends the growable buffers below to and from its thread's cache

    struct Frame {
        std::size_t values;     // where the container's children start in values_
        std::size_t keys;       // where an object's keys start in object_keys_
        std::size_t key_bytes;  // where they start in key_bytes_
    };
    struct Key {
        PyObject* str;         // borrowed from the key cache until the text is done
        std::uint64_t prefix;  // the first 8 bytes, big-endian and zero-padded: orders most keys alone
        std::uint64_t next;    // bytes 8 to 15 alike, for keys sharing a start ("profile_...")
        std::size_t offset;    // of the bytes in key_bytes_, kept only for keys longer than 16 bytes
        std::size_t size;
    };

    // Before 3.12 a collection may start at any allocation, so containers come off the collector's lists
    // as they are made. From 3.12 on one starts only where the interpreter looks for pending work, which
    // within a parse is only the signal check, and is due once the containers made outnumber the
    // collector's first threshold (700, 2000 from 3.13). A text of fewer containers starts none, and
    // taking them off and putting them back would be all cost; from that many on, they come off, so that
    // `take` puts them back parents first, which the pass after the call walks faster.
    static constexpr bool kUntrackFromTheStart = PY_VERSION_HEX < 0x030C0000;
    static constexpr std::size_t kTrackedContainers = PY_VERSION_HEX < 0x030D0000 ? 700 : 2000;

    struct SortEntry {
        std::uint64_t prefix;  // a copy of the key's, so most comparisons stay within the entries
        std::uint32_t index;   // of the key in the object
    };

public:
    // The growable buffers, empty of values between parses. A thread keeps one set between its parsers
    // (PyParser), so a load does not fault fresh pages in for them every time.
    struct Buffers {
        ValueStack values;
        std::vector<PyObject*> untracked;
        std::vector<PyRef> superseded;
        std::vector<Key> object_keys;
        std::string key_bytes;
        std::vector<SortEntry> order;
        std::vector<Frame> open;

        std::size_t capacity_bytes() const noexcept;
    };

private:
    // Exchanges the sink's buffers with `other`; the sink holds no value (fresh, or after `reset` with
    // nothing deferred).
    void swap_buffers(Buffers& other) noexcept;

    bool push(PyObject* obj);
    bool key_with_head(std::string_view utf8, bool ascii, const KeyHead& head);
    bool push_container(PyObject* container, bool is_list);
    void untrack_recorded() noexcept;
    bool untrack_from_the_start() const noexcept { return kUntrackFromTheStart || defer_; }
    bool signal_pending();
    bool key_less(const Key& a, const Key& b) const noexcept;
    void sort_keys(const Key* keys, std::size_t count);
    // The positions of `count` (at most SortedShapes::kMaxKeys) keys in sorted order, as sort_keys
    // leaves them; `sorted` is room for them, used when the shape is not remembered yet.
    const std::uint32_t* sorted_order(const Key* keys, std::size_t count, std::uint32_t* sorted);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* dict_from_items(const Key* keys, PyObject* const* values, std::size_t count, bool in_order);
#endif

    KeyCache& key_cache_;
    SinkOptions options_;
    std::uint32_t signal_countdown_;  // values until the next signal check
    ValueStack values_;
    // The containers made, while untrack_now_ is false, as the interpreter left them (tracked or not);
    // once it is true, those taken off the collector's lists (null: left as they were), which `take`
    // puts back. See push_container.
    std::vector<PyObject*> untracked_;
    std::vector<PyRef> superseded_;  // values a repeated key replaced, kept until `take` re-tracks
    std::vector<Key> object_keys_;
    std::string key_bytes_;
    std::vector<SortEntry> order_;  // sorting space for end_object
    std::vector<Frame> open_;  // one per open container; grown as deeper nesting is met
    std::string digits_;       // a big integer's text, NUL-terminated for the interpreter
    int depth_ = 0;
    bool defer_ = false;
    bool untrack_now_ = kUntrackFromTheStart;
    bool collecting_ = false;  // the collector was on when the text's parse began
    std::size_t kept_untracked_ = 0;   // entries of untracked_ and superseded_ that belong to trees
    std::size_t kept_superseded_ = 0;  // already handed out while tracking is deferred
};

// The outcome of parsing one text: the object, a syntax error (plain data, for the surface to word), or
// sink_failed when a Python call failed or a signal handler raised (`raised` holds that exception, taken
// out of the interpreter before the half-built objects were released).
struct PyParsed {
    json::ParseStatus status = json::ParseStatus::ok;
    PyRef value;
    json::ParseError error;
    std::optional<Failure> raised;
};

// Parses texts (valid UTF-8) into Python objects, one after another (the lines of a JSONL file, the
// elements of an array, or one document): keeps one key cache and the sink's buffers between calls, so
// steady use allocates only the Python objects. Like KeyCache, used by one thread at a time and destroyed
// while attached to the interpreter.
//
// The sink's buffers (and the scratch for decoded strings) come from a cache of the constructing thread
// and go back to the destroying thread's cache, which keeps one set of at most kCachedBufferBytes of
// capacity: repeated loads reuse memory already mapped, and a huge load leaves nothing pinned. A parser
// made while another on the same thread holds the set (a load from a signal handler) starts empty.
//
// The key cache likewise belongs to the interpreter's thread state (kept in its dict, released with it),
// so the keys of one load are found ready, hashed, by the next load on that thread. It is bounded by
// KeyCache's own size. A parser made while another holds it, or where the thread state offers no dict,
// uses a key cache of its own.
class PyParser {
public:
    static constexpr std::size_t kCachedBufferBytes = std::size_t{4} << 20;

    explicit PyParser(const SinkOptions& options = {});
    ~PyParser();
    PyParser(const PyParser&) = delete;
    PyParser& operator=(const PyParser&) = delete;

    PyParsed parse(std::string_view text);

    void defer_tracking() noexcept { sink_.defer_tracking(); }
    void track_deferred() { sink_.track_deferred(); }

private:
    void release_thread_keys() noexcept;

    Rules rules_;
    PyRef thread_keys_;                // the thread state's key cache (a capsule), while this parser holds it
    std::unique_ptr<KeyCache> own_keys_;  // otherwise
    KeyCache* keys_;
    PyObjectSink sink_;
    std::string scratch_;
};

}  // namespace tovak::api
