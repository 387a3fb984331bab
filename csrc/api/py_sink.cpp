#include "api/py_sink.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tovak::api {

namespace {

// Writes 16 ASCII bytes as 16 code units of one width.
#if defined(__SSE2__)
template <class Unit>
inline void store_widened(Unit* out, __m128i ascii) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), ascii);
    } else {
        const __m128i zero = _mm_setzero_si128();
        const __m128i low = _mm_unpacklo_epi8(ascii, zero), high = _mm_unpackhi_epi8(ascii, zero);
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), high);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(low, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(low, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(high, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(high, zero));
        }
    }
}

// Writes eight code points below U+0800, in 16-bit lanes, as eight code units of one width (a text of
// one-byte units holds none above U+00FF).
template <class Unit>
inline void store_code_points(Unit* out, __m128i lanes) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(lanes, lanes));
    } else if constexpr (sizeof(Unit) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lanes);
    } else {
        const __m128i zero = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lanes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lanes, zero));
    }
}
#endif

// Decodes valid UTF-8 into code units of one width. Runs of ASCII between multi-byte characters go 16
// bytes at a time: all 16 are widened and stored, and the output advances by the run's length, so the
// units past the run are written again by what follows. Stops early (leaving the rest zero) rather than
// read or write out of bounds should the text break its promise of validity.
template <class Unit>
void decode_utf8_into(const unsigned char* text, std::size_t size, Unit* out, Unit* out_end) {
    std::size_t i = 0;
    while (i < size && out != out_end) {
        unsigned lead = text[i];
        if (lead < 0x80) {
#if defined(__SSE2__)
            if (size - i >= 16 && out_end - out >= 16) {
                __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
                unsigned high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
                store_widened(out, chunk);
                std::size_t run = high == 0 ? 16 : static_cast<std::size_t>(__builtin_ctz(high));
                i += run;
                out += run;
                continue;
            }
#endif
            *out++ = static_cast<Unit>(lead);
            ++i;
            continue;
        }
#if defined(__SSE2__)
        if (lead < 0xE0 && size - i >= 16 && out_end - out >= 8) {
            // Two-byte characters in a row (Greek, Cyrillic, Arabic, accented Latin): the pairs from here
            // that are a lead and a continuation are decoded as eight 16-bit lanes, and the output
            // advances by their number, as for ASCII runs.
            __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            unsigned leads = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                _mm_cmpgt_epi8(chunk, _mm_set1_epi8(static_cast<char>(0xBF))),
                _mm_cmplt_epi8(chunk, _mm_set1_epi8(static_cast<char>(0xE0))))));
            unsigned continuations =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(chunk, _mm_set1_epi8(static_cast<char>(0xC0)))));
            // Bit 16 left clear ends a run of all eight.
            unsigned pairs_from_start = (leads & (continuations >> 1) & 0x5555u) | 0xFFFEAAAAu;
            std::size_t pairs = static_cast<std::size_t>(__builtin_ctz(~pairs_from_start)) / 2;
            __m128i code_points = _mm_or_si128(
                _mm_slli_epi16(_mm_and_si128(chunk, _mm_set1_epi16(0x1F)), 6),
                _mm_and_si128(_mm_srli_epi16(chunk, 8), _mm_set1_epi16(0x3F)));
            store_code_points(out, code_points);
            i += 2 * pairs;
            out += pairs;
            continue;
        }
#endif
        if constexpr (sizeof(Unit) > 1) {
            if ((lead & 0xF0) == 0xE0) {
                // Three-byte characters in a row (Chinese, Japanese, Korean, symbols): loops of their own,
                // two characters from each eight-byte load while both leads are of three bytes, then one
                // at a time until the run ends. The first character is one, so each visit makes progress.
                if (size - i < 3) break;
                const auto three_byte = [](std::uint64_t bytes) {
                    return static_cast<Unit>(((bytes & 0x0Fu) << 12) | ((bytes >> 2) & 0xFC0u) | ((bytes >> 16) & 0x3Fu));
                };
                while (size - i >= 8 && out_end - out >= 2) {
                    std::uint64_t word;
                    std::memcpy(&word, text + i, 8);
                    if ((word & 0xF00000F0u) != 0xE00000E0u) break;  // bytes 0 and 3
                    out[0] = three_byte(word);
                    out[1] = three_byte(word >> 24);
                    out += 2;
                    i += 6;
                }
                while (size - i >= 3 && out != out_end && (text[i] & 0xF0) == 0xE0) {
                    *out++ = static_cast<Unit>(((text[i] & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) |
                                               (text[i + 2] & 0x3Fu));
                    i += 3;
                }
                continue;
            }
        }
        std::size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (i + length > size) break;
        std::uint32_t code_point;
        if (length == 2) {
            code_point = ((lead & 0x1Fu) << 6) | (text[i + 1] & 0x3Fu);
        } else if (length == 3) {
            code_point = ((lead & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) | (text[i + 2] & 0x3Fu);
        } else {
            code_point = ((lead & 0x07u) << 18) | ((text[i + 1] & 0x3Fu) << 12) | ((text[i + 2] & 0x3Fu) << 6) |
                         (text[i + 3] & 0x3Fu);
        }
        *out++ = static_cast<Unit>(code_point);
        i += length;
    }
    std::fill(out, out_end, Unit{0});
}

// Bytes data[0..size) (size below 8) as a little-endian number, zero above. Built from whole loads, not
// byte stores to memory that a wide load would then have to wait for.
std::uint64_t load_short(const char* data, std::size_t size) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (size >= 4) {
        std::uint32_t low, high;
        std::memcpy(&low, bytes, 4);
        std::memcpy(&high, bytes + size - 4, 4);  // overlaps `low` by 8 - size bytes, which agree
        return low | (std::uint64_t{high} << (8 * (size - 4)));
    }
    if (size == 0) return 0;
    return bytes[0] | (std::uint64_t{bytes[size / 2]} << (8 * (size / 2))) |
           (std::uint64_t{bytes[size - 1]} << (8 * (size - 1)));
}

std::uint64_t load_word(const char* data) noexcept {
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    return word;
}

// Equal byte runs of one length; keys are mostly short, so those compare as one or two words.
bool same_bytes(const char* a, const char* b, std::size_t size) noexcept {
    if (size < 8) return load_short(a, size) == load_short(b, size);
    if (size <= 16) return load_word(a) == load_word(b) && load_word(a + size - 8) == load_word(b + size - 8);
    return std::memcmp(a, b, size) == 0;
}

// True when the str holds exactly these UTF-8 bytes.
bool str_equals(PyObject* str, std::string_view utf8) {
    if (PyUnicode_IS_ASCII(str)) {
        return static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) == utf8.size() &&
               same_bytes(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)), utf8.data(), utf8.size());
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);  // made once, then kept by the str
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(size) == utf8.size() && same_bytes(data, utf8.data(), utf8.size());
}

// Of valid UTF-8: the number of characters (the bytes that do not continue a sequence) and the widest
// one's range, told by the largest lead byte (below 0xC4 one below U+0100, below 0xF0 one of the Basic
// Multilingual Plane).
struct Utf8Shape {
    std::size_t length;
    Py_UCS4 max_char;
};

Py_UCS4 max_char_of_top(unsigned top) noexcept {
    return top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

// Short texts (below 16 bytes) as two zero-padded words, all bytes at once: zero bytes neither continue
// a sequence nor widen anything.
Utf8Shape short_utf8_shape(const char* data, std::size_t size) noexcept {
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    const std::uint64_t low = size < 8 ? load_short(data, size) : load_word(data);
    const std::uint64_t high = size <= 8 ? 0 : load_short(data + 8, size - 8);
    // Bit 7 of each byte set when bit 7 is set and bit 6 clear; the multiply adds the flags up into the top
    // byte (no population count instruction is assumed).
    auto continued_in = [](std::uint64_t w) {
        return static_cast<std::size_t>((((w & ~(w << 1) & highs) >> 7) * 0x0101010101010101ULL) >> 56);
    };
    const std::size_t continued = continued_in(low) + continued_in(high);
    // F0..FF: the top four bits set; C4..EF: the top two and one of the next four.
    auto four_byte = [](std::uint64_t w) { return w & (w << 1) & (w << 2) & (w << 3) & highs; };
    auto wide = [](std::uint64_t w) { return w & (w << 1) & ((w << 2) | (w << 3) | (w << 4) | (w << 5)) & highs; };
    Py_UCS4 max_char = (four_byte(low) | four_byte(high)) ? 0x10FFFF
                       : (wide(low) | wide(high))         ? 0xFFFF
                       : ((low | high) & highs)           ? 0xFF
                                                          : 0x7F;
    return Utf8Shape{size - continued, max_char};
}

Utf8Shape utf8_shape(const unsigned char* bytes, std::size_t size) noexcept {
    if (size < 16) return short_utf8_shape(reinterpret_cast<const char*>(bytes), size);
    std::size_t continuation = 0, i = 0;
    unsigned char top = 0;
#if defined(__SSE2__)
    // As signed bytes, the continuation bytes 0x80..0xBF are exactly those below -64 (0xC0). Each lane
    // counts its own (at most 255 blocks between two sums), and a sum of absolute differences adds them.
    const __m128i below_lead = _mm_set1_epi8(static_cast<char>(0xC0)), zero = _mm_setzero_si128();
    __m128i widest = zero;
    auto add_counts = [&](__m128i counts) {
        const __m128i sums = _mm_sad_epu8(counts, zero);
        continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                        static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    };
    while (size - i >= 16) {
        const std::size_t blocks = std::min<std::size_t>((size - i) / 16, 255);
        __m128i counts = zero;
        for (std::size_t b = 0; b < blocks; ++b, i += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(chunk, below_lead));
            widest = _mm_max_epu8(widest, chunk);
        }
        add_counts(counts);
    }
    if (i != size) {
        // The last 16 bytes, of which only the top size - i lanes are new.
        alignas(16) static constexpr unsigned char kLastLanes[32] = {
            0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + size - 16));
        const __m128i fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLastLanes + (size - i)));
        add_counts(_mm_sub_epi8(zero, _mm_and_si128(_mm_cmplt_epi8(chunk, below_lead), fresh)));
        widest = _mm_max_epu8(widest, chunk);
        i = size;
    }
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 8));
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 4));
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 2));
    widest = _mm_max_epu8(widest, _mm_srli_si128(widest, 1));
    top = static_cast<unsigned char>(_mm_cvtsi128_si32(widest));
#endif
    for (; i < size; ++i) {
        continuation += (bytes[i] & 0xC0) == 0x80;
        top = std::max(top, bytes[i]);
    }
    return Utf8Shape{size - continuation, max_char_of_top(top)};
}

}  // namespace

PyObject* make_str(std::string_view utf8, bool ascii) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    std::size_t size = utf8.size();
    if (ascii) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (str != nullptr && size != 0) std::memcpy(PyUnicode_1BYTE_DATA(str), bytes, size);
        return str;
    }
    // One pass for the length in characters and the widest character, then decode straight into a string
    // of that width.
    const auto [length, max_char] = utf8_shape(bytes, size);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), max_char);
    if (str == nullptr) return nullptr;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: {
            Py_UCS1* out = PyUnicode_1BYTE_DATA(str);
            decode_utf8_into(bytes, size, out, out + length);
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            Py_UCS2* out = PyUnicode_2BYTE_DATA(str);
            decode_utf8_into(bytes, size, out, out + length);
            break;
        }
        default: {
            Py_UCS4* out = PyUnicode_4BYTE_DATA(str);
            decode_utf8_into(bytes, size, out, out + length);
            break;
        }
    }
    return str;
}

// ---------------------------------------------------------------------------------------------------
// KeyCache

KeyCache::~KeyCache() {
    for (std::uint16_t i : filled_) Py_DECREF(slots_[i / 2].ways[i % 2].str);
    release_parked();
}

KeyCache::Slot& KeyCache::place(std::uint64_t tag) {
    const std::size_t set_index = (tag >> 8) & (slot_count_ / 2 - 1);
    Set& set = slots_[set_index];
    for (std::size_t way = 0; way < 2; ++way) {
        if (set.ways[way].str == nullptr) {
            filled_.push_back(static_cast<std::uint16_t>(2 * set_index + way));
            return set.ways[way];
        }
    }
    parked_.push_back(set.ways[1].str);
    set.ways[1] = set.ways[0];
    set.ways[0].str = nullptr;
    return set.ways[0];
}

// Moves every entry into the full-size table, oldest first within each set so a set keeps its newest;
// of more than two that now share a set, the newer two stay.
void KeyCache::grow() {
    std::unique_ptr<Set[]> old = std::move(slots_);
    std::vector<std::uint16_t> filled;
    filled.swap(filled_);
    filled_.reserve(filled.size());
    slots_.reset(new Set[kSlots / 2]());
    slot_count_ = kSlots;
    std::fill_n(guesses_.get(), kGuesses, nullptr);  // they name slots of the old table
    for (int way = 1; way >= 0; --way) {
        for (std::uint16_t i : filled) {
            if (static_cast<int>(i % 2) != way) continue;
            const Slot& moving = old[i / 2].ways[way];
            Slot& slot = place(moving.tag);
            slot = moving;
        }
    }
}

// The first 16 bytes of a key, zero-padded, as two little-endian words.
struct KeyHead {
    std::uint64_t low;
    std::uint64_t high;
};

namespace {

KeyHead key_head(const char* data, std::size_t size) noexcept {
    if (size < 8) return {load_short(data, size), 0};
    if (size < 16) return {load_word(data), load_short(data + 8, size - 8)};
    return {load_word(data), load_word(data + 8)};
}

// Picks a cache slot. Independent multiplies keep it short; keys longer than 16 bytes are sampled past
// their head, not read whole, since the cache compares the bytes anyway.
std::uint64_t hash_key(const char* data, std::size_t size, const KeyHead& head) noexcept {
    std::uint64_t hash = (head.low * 0x9E3779B97F4A7C15ULL) ^ (head.high * 0xBF58476D1CE4E5B9ULL) ^ size;
    if (size > 16) {
        hash ^= (load_word(data + size - 8) * 0x94D049BB133111EBULL) ^
                (load_word(data + size / 2 - 4) * 0xD6E8FEB86659FD93ULL);
    }
    return hash ^ (hash >> 29) ^ (hash >> 47);
}

}  // namespace

// Inlined into PyObjectSink::key, which shares the key's head with it; misses go out of line.
[[gnu::always_inline]] inline PyObject* KeyCache::borrow(std::string_view utf8, bool ascii, const KeyHead& head,
                                                         std::size_t guess) {
    static_assert(kMaxKeyBytes < 256, "the size must fit in the tag's low byte");
    std::size_t size = utf8.size();
    if (size > kMaxKeyBytes || slot_count_ == 0) {
        const Slot* unused = nullptr;
        return insert(utf8, ascii, head, unused);
    }
    const Slot*& guessed = guesses_[guess];
    if (guessed != nullptr && size <= 16 && guessed->head[0] == head.low && guessed->head[1] == head.high &&
        (guessed->tag & 0xFF) == size)
        return guessed->str;
    const std::uint64_t tag = (hash_key(utf8.data(), size, head) & ~std::uint64_t{0xFF}) | size;
    Set& set = slots_[(tag >> 8) & (slot_count_ / 2 - 1)];
    for (const Slot& slot : set.ways) {
        if (slot.tag == tag && slot.head[0] == head.low && slot.head[1] == head.high && slot.str != nullptr &&
            (size <= 16 || str_equals(slot.str, utf8))) {
            guessed = &slot;
            return slot.str;
        }
    }
    return insert(utf8, ascii, head, guessed);
}

[[gnu::noinline]] PyObject* KeyCache::insert(std::string_view utf8, bool ascii, const KeyHead& head, const Slot*& guess) {
    std::size_t size = utf8.size();
    if (size > kMaxKeyBytes) {
        PyObject* str = make_str(utf8, ascii);
        if (str != nullptr) parked_.push_back(str);
        return str;
    }
    if (slot_count_ == 0) {
        slots_.reset(new Set[kInitialSlots / 2]());
        guesses_.reset(new const Slot*[kGuesses]());
        slot_count_ = kInitialSlots;
    }
    PyObject* str = make_str(utf8, ascii);
    if (str == nullptr) return nullptr;
    const std::uint64_t tag = (hash_key(utf8.data(), size, head) & ~std::uint64_t{0xFF}) | size;
    const Set& set = slots_[(tag >> 8) & (slot_count_ / 2 - 1)];
    if (set.ways[1].str != nullptr && slot_count_ < kSlots) grow();
    Slot& slot = place(tag);
    slot = Slot{str, tag, {head.low, head.high}};
    guess = &slot;
    return str;
}

// ---------------------------------------------------------------------------------------------------
// SortedShapes

SortedShapes::~SortedShapes() {
    if (!entries_) return;
    for (std::size_t i = 0; i < kSlots; ++i)
        for (PyObject* key : entries_[i].keys) Py_DECREF(key);
}

const std::uint32_t* SortedShapes::find(PyObject* const* keys, std::size_t count, std::uint64_t& hash) const noexcept {
    // Two independent chains of multiplies, so a long shape is hashed at twice the pace of one chain.
    std::uint64_t even = count * 0x9E3779B97F4A7C15ULL, odd = 0;
    std::size_t i = 0;
    for (; i + 1 < count; i += 2) {
        even = (even ^ reinterpret_cast<std::uintptr_t>(keys[i])) * 0xBF58476D1CE4E5B9ULL;
        odd = (odd ^ reinterpret_cast<std::uintptr_t>(keys[i + 1])) * 0x94D049BB133111EBULL;
    }
    if (i < count) even = (even ^ reinterpret_cast<std::uintptr_t>(keys[i])) * 0xBF58476D1CE4E5B9ULL;
    hash = even ^ (odd >> 1) ^ (even >> 29) ^ (odd >> 31);
    if (!entries_) return nullptr;
    const Entry& entry = entries_[hash & (kSlots - 1)];
    if (entry.hash != hash || entry.keys.size() != count) return nullptr;
    for (std::size_t k = 0; k < count; ++k)
        if (entry.keys[k] != keys[k]) return nullptr;
    return entry.order.data();
}

void SortedShapes::remember(std::uint64_t hash, PyObject* const* keys, std::size_t count, const std::uint32_t* order) {
    if (!entries_) entries_.reset(new Entry[kSlots]);
    Entry& entry = entries_[hash & (kSlots - 1)];
    for (PyObject* key : entry.keys) Py_DECREF(key);
    entry.keys.assign(keys, keys + count);
    for (PyObject* key : entry.keys) Py_INCREF(key);
    entry.order.assign(order, order + count);
    entry.hash = hash;
}

namespace {

// A dict sized for `count` keys up front, so filling it never rebuilds its table. The presizing call is
// one of the interpreter's private ones, declared by every release from 3.11 to 3.15. Its table takes keys
// of any type (24 bytes an entry), unlike the one a dict of str keys gets when it grows (16 bytes).
PyObject* new_dict(Py_ssize_t count) { return _PyDict_NewPresized(count); }

}  // namespace

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 on the interpreter exports the call that builds a dict from keys and values: sized up front,
// with the table for str keys when all keys are str (smaller, and faster to fill and to read). Declared in
// its internal headers only, alike in 3.13, 3.14 and 3.15.
extern "C" PyObject* _PyDict_FromItems(PyObject* const* keys, Py_ssize_t keys_offset, PyObject* const* values,
                                       Py_ssize_t values_offset, Py_ssize_t length);
#endif

// ---------------------------------------------------------------------------------------------------
// ValueStack

ValueStack::~ValueStack() {
    drop_from(0);
    std::free(base_);
}

// Doubles the room (at least 64 values), keeping the values.
[[gnu::noinline]] bool ValueStack::grow() noexcept {
    const std::size_t size = this->size(), room = std::max<std::size_t>(64, 2 * capacity());
    auto* larger = static_cast<PyObject**>(std::realloc(base_, room * sizeof(PyObject*)));
    if (larger == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    base_ = larger;
    top_ = larger + size;
    limit_ = larger + room;
    return true;
}

void ValueStack::swap(ValueStack& other) noexcept {
    std::swap(base_, other.base_);
    std::swap(top_, other.top_);
    std::swap(limit_, other.limit_);
}

// ---------------------------------------------------------------------------------------------------
// PyObjectSink

// Looks for a pending signal every `signal_check_every` values: a load of one huge document then stops
// soon after Ctrl-C. The countdown costs one decrement and one branch per value; with checks off it only
// wraps around, once every 2^32 values.
[[gnu::noinline]] bool PyObjectSink::signal_pending() {
    signal_countdown_ = options_.signal_check_every;
    if (signal_countdown_ == 0) return false;
    untrack_recorded();  // the check may run a collection
    return PyErr_CheckSignals() < 0;
}

[[gnu::always_inline]] inline bool PyObjectSink::push(PyObject* obj) {
    if (obj == nullptr || !values_.push(obj)) return false;
    if (--signal_countdown_ == 0) [[unlikely]] return !signal_pending();
    return true;
}

// Pushes a finished list or dict, untracked when the collector tracks it. A repeated key never drops such
// a container before `take` (see end_object), so every recorded pointer stays valid. With the collector
// switched off nothing triggers a pass: the containers stay on its lists, which saves taking each off and
// putting it back (gc.collect() called meanwhile, by a signal handler, walks finished containers only).
//
// Not on the free-threaded build: its collector walks every object of the heap, tracked or not, and
// schedules the next pass from the number of tracked survivors, so a big document kept untracked while it
// is built would be walked every few thousand allocations (quadratic: 3.5 of 4.8 s for a 200 MB array).
//
// Until untrack_now_ is set (kUntrackFromTheStart, defer_tracking, the first signal check of a text, or
// its kTrackedContainers-th container) a container is only recorded, and taken off at that point with all
// recorded before it.
//
// The collector's switch is read when a text's parse begins: one turned on meanwhile (by a signal
// handler) finds the rest of the text's containers on its lists, as usual; one turned off finds them put
// back. A new list is always tracked; a dict may not be, before 3.14.
bool PyObjectSink::push_container(PyObject* container, bool is_list) {
    if (container == nullptr) return false;
#ifndef Py_GIL_DISABLED
    PyRef owned = PyRef::steal(container);
    if (!untrack_now_) {
        untracked_.push_back(container);
        if (untracked_.size() == kTrackedContainers) untrack_recorded();
    } else if (collecting_ && (is_list || PyObject_GC_IsTracked(container))) {
        untracked_.push_back(container);
        PyObject_GC_UnTrack(container);
    }
    return values_.push(owned.release());
#else
    static_cast<void>(is_list);
    return values_.push(container);
#endif
}

[[gnu::always_inline]] inline bool PyObjectSink::null() { return push(Py_NewRef(Py_None)); }

[[gnu::always_inline]] inline bool PyObjectSink::boolean(bool value) { return push(Py_NewRef(value ? Py_True : Py_False)); }

[[gnu::always_inline]] inline bool PyObjectSink::uint(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(INT64_MAX)) return push(PyLong_FromLongLong(static_cast<long long>(value)));
    return push(PyLong_FromUnsignedLongLong(value));
}

[[gnu::always_inline]] inline bool PyObjectSink::sint(std::int64_t value) { return push(PyLong_FromLongLong(value)); }

[[gnu::always_inline]] inline bool PyObjectSink::dbl(double value) { return push(PyFloat_FromDouble(value)); }

bool PyObjectSink::big_integer(std::string_view text) {
    digits_.assign(text);
    return push(PyLong_FromString(digits_.c_str(), nullptr, 10));  // may raise: the interpreter's digit limit
}

[[gnu::always_inline]] inline bool PyObjectSink::string(std::string_view utf8, bool ascii) { return push(make_str(utf8, ascii)); }

[[gnu::always_inline]] inline bool PyObjectSink::begin_array() {
    if (static_cast<std::size_t>(depth_) == open_.size()) open_.emplace_back();
    open_[depth_++] = Frame{values_.size(), 0, 0};
    return true;
}

[[gnu::always_inline]] inline bool PyObjectSink::end_array() {
    const Frame& frame = open_[--depth_];
    std::size_t count = values_.size() - frame.values;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return false;
    PyObject* const* items = values_.from(frame.values);
    for (std::size_t i = 0; i < count; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
    values_.forget_from(frame.values);
    return push_container(list, true);
}

[[gnu::always_inline]] inline bool PyObjectSink::begin_object() {
    if (static_cast<std::size_t>(depth_) == open_.size()) open_.emplace_back();
    open_[depth_++] = Frame{values_.size(), object_keys_.size(), key_bytes_.size()};
    return true;
}

[[gnu::always_inline]] inline bool PyObjectSink::key_with_head(std::string_view utf8, bool ascii, const KeyHead& head) {
    const std::size_t position = object_keys_.size() - open_[depth_ - 1].keys;
    PyObject* str = key_cache_.borrow(utf8, ascii, head, KeyCache::guess_index(static_cast<std::size_t>(depth_), position));
    if (str == nullptr) return false;
    object_keys_.push_back(Key{str, __builtin_bswap64(head.low), __builtin_bswap64(head.high),
                               key_bytes_.size(), utf8.size()});
    if (utf8.size() > 16) key_bytes_.append(utf8);
    return true;
}

bool PyObjectSink::key(std::string_view utf8, bool ascii) {
    return key_with_head(utf8, ascii, key_head(utf8.data(), utf8.size()));
}

bool PyObjectSink::key(std::string_view utf8, bool ascii, std::uint64_t head_low, std::uint64_t head_high) {
    return key_with_head(utf8, ascii, KeyHead{head_low, head_high});
}

bool PyObjectSink::key_less(const Key& a, const Key& b) const noexcept {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (a.next != b.next) return a.next < b.next;
    // Equal zero-padded first 16 bytes with a key of at most 16 bytes: that key begins the other one.
    if (a.size <= 16 || b.size <= 16) return a.size < b.size;
    return std::string_view(key_bytes_.data() + a.offset, a.size) <
           std::string_view(key_bytes_.data() + b.offset, b.size);
}

// Leaves in order_ the positions of the keys sorted by (key, position in the text): the order of a stable
// sort. The entries carry the keys' first bytes, so most comparisons never look at the keys themselves.
// Small objects, the common case, take an insertion sort.
void PyObjectSink::sort_keys(const Key* keys, std::size_t count) {
    order_.resize(count);
    SortEntry* order = order_.data();
    for (std::size_t i = 0; i < count; ++i) order[i] = SortEntry{keys[i].prefix, static_cast<std::uint32_t>(i)};
    auto less = [&](const SortEntry& a, const SortEntry& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        if (key_less(keys[a.index], keys[b.index])) return true;
        if (key_less(keys[b.index], keys[a.index])) return false;
        return a.index < b.index;
    };
    if (count <= 32) {
        for (std::size_t i = 1; i < count; ++i) {
            SortEntry moving = order[i];
            std::size_t j = i;
            for (; j > 0 && less(moving, order[j - 1]); --j) order[j] = order[j - 1];
            order[j] = moving;
        }
        return;
    }
    std::sort(order, order + count, less);
}

// Objects of one shape sort alike: the order is looked up by the key objects before sorting. Out of line,
// so the sorted-already path of end_object stays small.
[[gnu::noinline]] const std::uint32_t* PyObjectSink::sorted_order(const Key* keys, std::size_t count,
                                                                  std::uint32_t* sorted) {
    PyObject* shape[SortedShapes::kMaxKeys];
    for (std::size_t i = 0; i < count; ++i) shape[i] = keys[i].str;
    SortedShapes& shapes = key_cache_.shapes();
    std::uint64_t hash;
    if (const std::uint32_t* known = shapes.find(shape, count, hash)) return known;
    sort_keys(keys, count);
    for (std::size_t k = 0; k < count; ++k) sorted[k] = order_[k].index;
    shapes.remember(hash, shape, count, sorted);
    return sorted;
}

#if PY_VERSION_HEX >= 0x030D0000
// The dict of more than five keys, through _PyDict_FromItems (see above): the keys are read in place, a Key
// apart, when in order, and gathered in order otherwise. Out of line, so end_object's path for the small
// objects of most documents stays as short as it was.
[[gnu::noinline]] PyObject* PyObjectSink::dict_from_items(const Key* keys, PyObject* const* values, std::size_t count,
                                                          bool in_order) {
    static_assert(offsetof(Key, str) == 0 && sizeof(Key) % sizeof(PyObject*) == 0);
    constexpr Py_ssize_t kKeyStride = sizeof(Key) / sizeof(PyObject*);
    const auto length = static_cast<Py_ssize_t>(count);
    if (in_order) return _PyDict_FromItems(&keys[0].str, kKeyStride, values, 1, length);
    if (count <= SortedShapes::kMaxKeys) {
        std::uint32_t sorted[SortedShapes::kMaxKeys];
        const std::uint32_t* order = sorted_order(keys, count, sorted);
        PyObject* sorted_keys[SortedShapes::kMaxKeys];
        PyObject* sorted_values[SortedShapes::kMaxKeys];
        for (std::size_t k = 0; k < count; ++k) {
            sorted_keys[k] = keys[order[k]].str;
            sorted_values[k] = values[order[k]];
        }
        return _PyDict_FromItems(sorted_keys, 1, sorted_values, 1, length);
    }
    sort_keys(keys, count);
    std::vector<PyObject*> sorted_keys, sorted_values;
    sorted_keys.reserve(count);
    sorted_values.reserve(count);
    for (const SortEntry& entry : order_) {
        sorted_keys.push_back(keys[entry.index].str);
        sorted_values.push_back(values[entry.index]);
    }
    return _PyDict_FromItems(sorted_keys.data(), 1, sorted_values.data(), 1, length);
}
#endif

bool PyObjectSink::end_object() {
    const Frame frame = open_[--depth_];
    std::size_t count = values_.size() - frame.values;
    const Key* keys = object_keys_.data() + frame.keys;
    PyObject* const* values = values_.from(frame.values);

    // In file order, storing in text order leaves each key where it first appeared with its last value.
    bool in_order = options_.keys == KeyOrder::file_order;
    if (!in_order) {
        in_order = true;
        for (std::size_t i = 1; i < count && in_order; ++i) in_order = !key_less(keys[i], keys[i - 1]);
    }
    PyRef dict;
#if PY_VERSION_HEX >= 0x030D0000
    // Up to five keys a new dict's own table holds them, of str keys as it is.
    if (count > 5) {
        dict = PyRef::steal(dict_from_items(keys, values, count, in_order));
        if (!dict) return false;
    } else
#endif
    {
        dict = PyRef::steal(new_dict(static_cast<Py_ssize_t>(count)));
        if (!dict) return false;
        if (in_order) {
            // Sorted: equal keys are adjacent and in text order; the later store wins and keeps the first's place.
            for (std::size_t i = 0; i < count; ++i)
                if (PyDict_SetItem(dict.get(), keys[i].str, values[i]) < 0) return false;
        } else if (count <= SortedShapes::kMaxKeys) {
            std::uint32_t sorted[SortedShapes::kMaxKeys];
            const std::uint32_t* order = sorted_order(keys, count, sorted);
            for (std::size_t k = 0; k < count; ++k)
                if (PyDict_SetItem(dict.get(), keys[order[k]].str, values[order[k]]) < 0) return false;
        } else {
            sort_keys(keys, count);
            for (const SortEntry& entry : order_)
                if (PyDict_SetItem(dict.get(), keys[entry.index].str, values[entry.index]) < 0) return false;
        }
    }
    if (static_cast<std::size_t>(PyDict_GET_SIZE(dict.get())) != count) {
        // Repeated keys dropped some values: keep them (and any untracked containers in them) alive
        // until `take` has put every recorded container back.
        for (std::size_t i = 0; i < count; ++i) superseded_.push_back(PyRef::borrow(values[i]));
    }
    values_.drop_from(frame.values);
    object_keys_.resize(frame.keys);
    key_bytes_.resize(frame.key_bytes);
    return push_container(dict.release(), false);
}

PyRef PyObjectSink::take() {
    if (defer_) {
        kept_untracked_ = untracked_.size();
        kept_superseded_ = superseded_.size();
    } else {
        track_deferred();
    }
    PyRef out = PyRef::steal(*values_.from(values_.size() - 1));
    values_.forget_from(values_.size() - 1);
    values_.drop_from(0);
    key_cache_.release_parked();  // every object holds its keys now
    return out;
}

// Takes the containers recorded so far off the collector's lists (those it tracks), and every later one
// as it is made.
void PyObjectSink::untrack_recorded() noexcept {
#ifndef Py_GIL_DISABLED
    if (untrack_now_) return;
    untrack_now_ = true;
    for (PyObject*& container : untracked_) {
        if (collecting_ && PyObject_GC_IsTracked(container))
            PyObject_GC_UnTrack(container);
        else
            container = nullptr;
    }
#endif
}

// Newest first: a container closes after everything in it, so this puts each parent on the collector's
// list before its children. A pass then finds the children reachable as it meets them, instead of moving
// each to its unreachable list and back when it reaches the parent (the order the interpreter's own
// loaders build in).
void PyObjectSink::track_deferred() {
    if (untrack_now_) {
        for (auto container = untracked_.rbegin(); container != untracked_.rend(); ++container)
            if (*container != nullptr) PyObject_GC_Track(*container);
    }
    untracked_.clear();
    superseded_.clear();
    kept_untracked_ = kept_superseded_ = 0;
    untrack_now_ = untrack_from_the_start();
}

void PyObjectSink::reset() {
    // Untracked containers are freed untracked, which the collector allows.
    untracked_.resize(kept_untracked_);
    superseded_.resize(kept_superseded_);
    untrack_now_ = untrack_from_the_start();
    collecting_ = PyGC_IsEnabled() != 0;
    values_.drop_from(0);
    object_keys_.clear();
    key_bytes_.clear();
    key_cache_.release_parked();
    depth_ = 0;
}

std::size_t PyObjectSink::Buffers::capacity_bytes() const noexcept {
    return values.capacity() * sizeof(PyObject*) + untracked.capacity() * sizeof(PyObject*) +
           superseded.capacity() * sizeof(PyRef) + object_keys.capacity() * sizeof(Key) + key_bytes.capacity() +
           order.capacity() * sizeof(SortEntry) + open.capacity() * sizeof(Frame);
}

void PyObjectSink::swap_buffers(Buffers& other) noexcept {
    values_.swap(other.values);
    untracked_.swap(other.untracked);
    superseded_.swap(other.superseded);
    object_keys_.swap(other.object_keys);
    key_bytes_.swap(other.key_bytes);
    order_.swap(other.order);
    open_.swap(other.open);
}

// ---------------------------------------------------------------------------------------------------
// The thread's buffer cache

namespace {

struct CachedBuffers {
    PyObjectSink::Buffers sink;
    std::string scratch;

    std::size_t capacity_bytes() const noexcept { return sink.capacity_bytes() + scratch.capacity(); }
};

// Set when the thread's cache has been destroyed (the thread is exiting): a parser destroyed after that
// frees its own buffers. Trivially destructible, so it stays readable to the very end of the thread.
thread_local bool thread_cache_gone = false;

struct ThreadCache {
    CachedBuffers buffers;  // values empty; capacities only
    ~ThreadCache() { thread_cache_gone = true; }
};

thread_local ThreadCache thread_cache;

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Parsing and the interrupt check

namespace {

// The key cache a thread state keeps in its dict, and whether a parser holds it. The flag is atomic since
// a parser (an iterator's) may be dropped on another thread than the one that made it.
struct ThreadKeys {
    KeyCache cache;
    std::atomic<bool> held{false};
};

constexpr const char* kThreadKeysName = "tovak.thread_key_cache";

ThreadKeys* thread_keys_of(PyObject* capsule) {
    return static_cast<ThreadKeys*>(PyCapsule_GetPointer(capsule, kThreadKeysName));
}

void free_thread_keys(PyObject* capsule) { delete thread_keys_of(capsule); }

// The calling thread state's key cache, made on first use, now held by the caller; null when a parser
// already holds it or it cannot be had (then the interpreter's error state is as it was).
PyRef hold_thread_keys() {
    PyObject* dict = PyThreadState_GetDict();  // borrowed; only this thread changes it
    if (dict == nullptr) return PyRef();
    PyObject* found = PyDict_GetItemString(dict, kThreadKeysName);  // borrowed
    PyRef capsule;
    if (found != nullptr && PyCapsule_IsValid(found, kThreadKeysName)) {
        capsule = PyRef::borrow(found);
    } else {
        capsule = PyRef::steal(owning_capsule(new (std::nothrow) ThreadKeys, kThreadKeysName, free_thread_keys));
        if (!capsule) {
            PyErr_Clear();
            return PyRef();
        }
        if (PyDict_SetItemString(dict, kThreadKeysName, capsule.get()) < 0) {
            PyErr_Clear();
            return PyRef();  // the capsule alone frees the cache
        }
    }
    if (thread_keys_of(capsule.get())->held.exchange(true, std::memory_order_acquire)) return PyRef();
    return capsule;
}

}  // namespace

PyParser::PyParser(const SinkOptions& options)
    : rules_(options.rules),
      thread_keys_(hold_thread_keys()),
      own_keys_(thread_keys_ ? nullptr : new KeyCache),
      keys_(thread_keys_ ? &thread_keys_of(thread_keys_.get())->cache : own_keys_.get()),
      sink_(*keys_, options) {
    if (thread_cache_gone) return;
    // The cache is left holding the fresh, empty buffers.
    sink_.swap_buffers(thread_cache.buffers.sink);
    scratch_.swap(thread_cache.buffers.scratch);
}

PyParser::~PyParser() {
    if (thread_cache_gone) {
        release_thread_keys();
        return;
    }
    CachedBuffers mine;
    sink_.swap_buffers(mine.sink);
    // Whatever the sink still holds (containers a failed or abandoned gather left untracked, values a
    // repeated key replaced) is dropped, as the sink's own destruction would.
    mine.sink.values.drop_from(0);
    mine.sink.untracked.clear();
    mine.sink.superseded.clear();
    mine.sink.object_keys.clear();
    mine.sink.key_bytes.clear();
    mine.scratch.swap(scratch_);
    mine.scratch.clear();
    std::size_t bytes = mine.capacity_bytes();
    CachedBuffers& cached = thread_cache.buffers;
    // Keep the larger set within the bound; the other is freed with `mine`.
    if (bytes <= kCachedBufferBytes && bytes > cached.capacity_bytes()) std::swap(mine, cached);
    release_thread_keys();
}

void PyParser::release_thread_keys() noexcept {
    if (thread_keys_) thread_keys_of(thread_keys_.get())->held.store(false, std::memory_order_release);
}

PyParsed PyParser::parse(std::string_view text) {
    sink_.reset();  // in case an earlier call was cut short by an allocation failure
    json::ParseOutcome outcome = rules_ == Rules::python ? json::parse<json::PythonRules>(text, sink_, scratch_)
                                                         : json::parse<json::FixedWidthRules>(text, sink_, scratch_);
    PyParsed parsed{outcome.status, PyRef(), outcome.error, std::nullopt};
    if (outcome.status == json::ParseStatus::ok) {
        parsed.value = sink_.take();
        return parsed;
    }
    if (outcome.status == json::ParseStatus::sink_failed) parsed.raised = Failure::from_python();
    sink_.reset();
    return parsed;
}

namespace {

bool signal_raised(void*) { return PyErr_CheckSignals() < 0; }

}  // namespace

records::InterruptCheck python_signal_check() noexcept { return records::InterruptCheck{signal_raised, nullptr}; }

}  // namespace tovak::api
