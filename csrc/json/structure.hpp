// Structure inference: the merged structure of a sequence of JSON values, as a schema value.
//
// A schema value is a JSON value built of: type expressions ("unknown", or scalar type names such as
// "int|null" joined by "|" in byte order), array schemas (empty, or one element describing every item),
// object schemas (names marked with a trailing "?" when some object lacks the key), and the mixed-kind
// object {"__oneof__": [scalar, array, object]} holding one alternative per kind present. The same summary
// also gives a JSON Schema (Structure::json_schema). Summaries merge (Structure::merge) and travel as bytes
// (Structure::encode/decode, in structure_codec.cpp), so parts of the records can be summarised apart.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json/value.hpp"

namespace tovak::json {

// The scalar type names met at one place, as a set ordered by the names' bytes.
class ScalarNames {
public:
    // In ascending byte order of the names, which is the order they print in.
    enum Name : std::uint8_t { bool_name, float_name, int_name, null_name, str_name, name_count };

    void insert(Name name) noexcept { bits_ |= static_cast<std::uint8_t>(1u << name); }
    bool contains(Name name) const noexcept { return (bits_ >> name) & 1u; }
    bool empty() const noexcept { return bits_ == 0; }

    // The name of a scalar value (null, boolean, number or string).
    static Name of(const Value& scalar) noexcept;

private:
    std::uint8_t bits_ = 0;
};

// The type expression of a non-empty set of names: the names joined by "|".
Value scalar_value(ScalarNames names);

// What the values met at one place of the records have in common, merged one value at a time: the scalar
// names, every item of every array (one place below), and per object key, in order of first appearance,
// how many objects held it and its values (one place below each). Merging value by value gives the same
// schema as looking at all the values at once, while keeping only this summary: key strings are the one
// thing copied, and no value needs to outlive its `add`. Owned by one caller and used by one thread at a time.
class Structure {
public:
    Structure() = default;
    Structure(const Structure&) = delete;
    Structure& operator=(const Structure&) = delete;
    ~Structure();

    // Takes in `value`, which nests `levels` deep (ValueSink::levels; 0 for a scalar). Every walk over a
    // summary runs on a stack that holds its depth (json/deep_walk.hpp), whatever the caller's stack.
    void add(const Value& value, std::size_t levels);
    // The schema value of everything added; "unknown" when nothing was.
    Value schema() const;
    // The same inference as a JSON Schema (draft 2020-12) that every value added validates against: "type",
    // "properties" and "required" (the keys every object held) for objects, "items" for arrays, "anyOf" where
    // kinds differ, {} (anything) when nothing was added. Its objects hold their entries in the order a reader
    // expects (properties in first-appearance order), not in byte order: print or convert it, never find().
    Value json_schema() const;
    // The schema value printed as indented JSON text (appended to `out`): what `schema` describes.
    void print_schema(std::string& out) const;
    // How deep the values taken in so far nest: the depth of the summary's walks.
    std::size_t levels() const noexcept { return levels_; }

    // Takes in what `other` summarises, as if its values had been added after the ones added here: the
    // schema of the merged summary is the schema of both sequences, one after the other. `other` may be
    // this summary (then every value counts twice).
    void merge(const Structure& other);

    // The summary as compact bytes (appended to `out`), and back. `decode` accepts only what `encode`
    // makes: anything else, including nesting deeper than kMaxDepth levels, gives false (`out` is then
    // left in some valid state). An empty summary decodes from the bytes of one.
    void encode(std::string& out) const;
    static bool decode(std::string_view bytes, Structure& out);
    static constexpr int kMaxDepth = 10000;  // as deep as the parser lets a record be

private:
    struct KeyPlace {
        std::string key;
        std::uint64_t present;              // objects that held the key (null values included)
        std::unique_ptr<Structure> values;  // its values, in object order
    };

    void add_value(const Value& value);
    void add_array(const Array& items);
    void merge_node(const Structure& other);
    Value schema_node() const;
    Value json_schema_node() const;
    void add_object(const Object& entries);
    Value array_schema() const;
    Value object_schema() const;
    Value object_json_schema() const;
    // The slot of `key`, made (with no objects holding it yet) when the key is new.
    std::size_t slot_of(const std::string& key);
    void encode_node(std::string& out) const;
    struct Decoder;

    std::size_t levels_ = 0;  // kept by the top of a summary, where its walks begin
    ScalarNames names_;
    std::uint64_t arrays_ = 0;
    std::unique_ptr<Structure> items_;  // every item of every array, in order; none until an item is met
    std::uint64_t objects_ = 0;
    std::deque<KeyPlace> keys_;         // first-appearance order; a deque keeps the key strings in place
    std::unordered_map<std::string_view, std::size_t> slot_of_key_;  // views into keys_
    std::vector<std::size_t> last_slots_;  // the key slots of the last object added, entry by entry
};

}  // namespace tovak::json
