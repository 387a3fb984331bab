// The byte form of a structure summary, for summaries that travel between processes (a pickled
// tovak.Structure). Layout, after the four bytes "TVS" 0x01 (format version 1):
//
//   node     := names:u8  arrays:varint  has_items:u8  [items:node]  objects:varint  key_count:varint
//               key_count * (key_length:varint  key:bytes  present:varint  values:node)
//
// varint: unsigned LEB128 (7 bits a byte, low bits first, at most 10 bytes). Keys come in first-appearance
// order. Decoding checks every length against the bytes left, the keys' text, the names against the five
// known ones, `present` against `objects`, the keys for repeats and the depth against kMaxDepth, so bytes
// from anywhere give a valid summary or false, never a fault.
#include <algorithm>
#include <string>
#include <string_view>

#include "json/deep_walk.hpp"
#include "json/structure.hpp"
#include "json/text.hpp"

namespace tovak::json {

namespace {

constexpr std::string_view kMagic{"TVS\x01", 4};

void put_varint(std::uint64_t value, std::string& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// Keys are UTF-8 in which lone surrogates may stand (the parser keeps a lone \u escape as the three bytes
// ED A0..BF xx): such a sequence is checked as if it were a character
// of the same length.
bool is_key_text(std::string_view key) {
    if (key.find('\xED') == std::string_view::npos) return is_valid_utf8(key);
    std::string checked(key);
    for (std::size_t i = 0; i + 2 < checked.size(); ++i) {
        const auto lead = static_cast<unsigned char>(checked[i]), next = static_cast<unsigned char>(checked[i + 1]);
        if (lead == 0xED && next >= 0xA0 && next <= 0xBF) checked.replace(i, 2, "\xEF\xBF");
    }
    return is_valid_utf8(checked);
}

}  // namespace

struct Structure::Decoder {
    std::string_view bytes;
    std::size_t at = 0;
    int deepest = 0;

    bool byte(std::uint8_t& value) {
        if (at >= bytes.size()) return false;
        value = static_cast<std::uint8_t>(bytes[at++]);
        return true;
    }

    bool varint(std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t b;
            if (!byte(b)) return false;
            if (shift == 63 && b > 1) return false;  // past 64 bits
            value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return true;
        }
        return false;
    }

    bool node(Structure& out, int depth) {
        if (depth > kMaxDepth) return false;
        deepest = std::max(deepest, depth);
        std::uint8_t names, has_items;
        if (!byte(names) || names >= (1u << ScalarNames::name_count)) return false;
        for (int name = 0; name < ScalarNames::name_count; ++name) {
            if ((names >> name) & 1u) out.names_.insert(static_cast<ScalarNames::Name>(name));
        }
        if (!varint(out.arrays_) || !byte(has_items) || has_items > 1) return false;
        if (has_items) {
            if (out.arrays_ == 0) return false;
            out.items_ = std::make_unique<Structure>();
            if (!node(*out.items_, depth + 1)) return false;
        }
        std::uint64_t key_count;
        if (!varint(out.objects_) || !varint(key_count)) return false;
        if (key_count != 0 && out.objects_ == 0) return false;
        for (std::uint64_t k = 0; k < key_count; ++k) {
            std::uint64_t length, present;
            // Each key takes at least four bytes after its text (length, present and an empty node's
            // three), which bounds the loop by the input's size.
            if (!varint(length) || length > bytes.size() - at) return false;
            const std::string key(bytes.substr(at, length));
            at += length;
            if (!is_key_text(key)) return false;
            if (!varint(present) || present > out.objects_) return false;
            const std::size_t keys_before = out.keys_.size();
            KeyPlace& place = out.keys_[out.slot_of(key)];
            if (out.keys_.size() == keys_before) return false;  // the key came twice
            place.present = present;
            if (!node(*place.values, depth + 1)) return false;
        }
        return true;
    }
};

void Structure::encode_node(std::string& out) const {
    std::uint8_t names = 0;
    for (int name = 0; name < ScalarNames::name_count; ++name) {
        if (names_.contains(static_cast<ScalarNames::Name>(name))) names |= static_cast<std::uint8_t>(1u << name);
    }
    out.push_back(static_cast<char>(names));
    put_varint(arrays_, out);
    out.push_back(items_ ? 1 : 0);
    if (items_) items_->encode_node(out);
    put_varint(objects_, out);
    put_varint(keys_.size(), out);
    for (const KeyPlace& place : keys_) {
        put_varint(place.key.size(), out);
        out.append(place.key);
        put_varint(place.present, out);
        place.values->encode_node(out);
    }
}

void Structure::encode(std::string& out) const {
    out.append(kMagic);
    walk_on_stack(levels_, [&] { encode_node(out); });
}

bool Structure::decode(std::string_view bytes, Structure& out) {
    if (!bytes.starts_with(kMagic)) return false;
    Decoder decoder{bytes, kMagic.size()};
    // A level of nodes takes at least five bytes, which bounds the depth before it is known.
    const std::size_t levels = std::min<std::size_t>(kMaxDepth, bytes.size() / 5);
    bool decoded = false;
    walk_on_stack(levels, [&] { decoded = decoder.node(out, 0) && decoder.at == bytes.size(); });
    out.levels_ = static_cast<std::size_t>(decoder.deepest);
    return decoded;
}

}  // namespace tovak::json
