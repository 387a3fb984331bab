#include "json/structure.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/deep_walk.hpp"
#include "json/printer.hpp"

namespace tovak::json {

// ---------------------------------------------------------------------------------------------------
// Structure inference

namespace {

constexpr std::string_view kScalarNameText[ScalarNames::name_count] = {"bool", "float", "int", "null", "str"};

}  // namespace

ScalarNames::Name ScalarNames::of(const Value& scalar) noexcept {
    switch (scalar.kind()) {
        case Value::Kind::boolean: return bool_name;
        case Value::Kind::dbl: return float_name;
        case Value::Kind::uint:
        case Value::Kind::sint: return int_name;
        case Value::Kind::string: return str_name;
        default: return null_name;
    }
}

Value scalar_value(ScalarNames names) {
    std::string expression;
    for (int name = 0; name < ScalarNames::name_count; ++name) {
        if (!names.contains(static_cast<ScalarNames::Name>(name))) continue;
        if (!expression.empty()) expression += '|';
        expression += kScalarNameText[name];
    }
    return Value(std::move(expression));
}

Structure::~Structure() {
    // Places below places, as deep as the values were: taken apart from a list rather than by recursion.
    std::vector<std::unique_ptr<Structure>> pending;
    auto take_children = [&pending](Structure& node) {
        if (node.items_) pending.push_back(std::move(node.items_));
        for (KeyPlace& place : node.keys_)
            if (place.values) pending.push_back(std::move(place.values));
    };
    take_children(*this);
    while (!pending.empty()) {
        std::unique_ptr<Structure> next = std::move(pending.back());
        pending.pop_back();
        take_children(*next);
    }
}

void Structure::add(const Value& value, std::size_t levels) {
    levels_ = std::max(levels_, levels);
    walk_on_stack(levels, [&] { add_value(value); });
}

void Structure::add_value(const Value& value) {
    if (value.is_object()) add_object(value.as_object());
    else if (value.is_array()) add_array(value.as_array());
    else names_.insert(ScalarNames::of(value));
}

void Structure::add_array(const Array& items) {
    ++arrays_;
    if (items.empty()) return;
    if (!items_) items_ = std::make_unique<Structure>();
    for (const Value& item : items) items_->add_value(item);
}

void Structure::add_object(const Object& entries) {
    ++objects_;
    // Records mostly share one set of keys: an object with the keys of the one before reuses their slots
    // without hashing.
    bool same_keys = entries.size() == last_slots_.size();
    for (std::size_t i = 0; same_keys && i < entries.size(); ++i)
        same_keys = keys_[last_slots_[i]].key == entries[i].first;
    if (!same_keys) {
        last_slots_.clear();
        for (const auto& entry : entries) last_slots_.push_back(slot_of(entry.first));
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        KeyPlace& place = keys_[last_slots_[i]];
        ++place.present;
        place.values->add_value(entries[i].second);
    }
}

std::size_t Structure::slot_of(const std::string& key) {
    auto found = slot_of_key_.find(key);
    if (found == slot_of_key_.end()) {
        keys_.push_back(KeyPlace{key, 0, std::make_unique<Structure>()});
        found = slot_of_key_.emplace(keys_.back().key, keys_.size() - 1).first;
    }
    return found->second;
}

void Structure::merge(const Structure& other) {
    const std::size_t levels = std::max(levels_, other.levels_);
    if (&other == this) {
        // The keys and items below would grow while they are read: merge a copy.
        Structure copy;
        copy.merge(other);
        merge(copy);
        return;
    }
    walk_on_stack(levels, [&] { merge_node(other); });
    levels_ = levels;
}

void Structure::merge_node(const Structure& other) {
    for (int name = 0; name < ScalarNames::name_count; ++name) {
        if (other.names_.contains(static_cast<ScalarNames::Name>(name))) names_.insert(static_cast<ScalarNames::Name>(name));
    }
    arrays_ += other.arrays_;
    if (other.items_) {
        if (!items_) items_ = std::make_unique<Structure>();
        items_->merge_node(*other.items_);
    }
    objects_ += other.objects_;
    // Keys new here come after the ones already known, in the other summary's order: the order in which
    // adding its values would have met them.
    for (const KeyPlace& place : other.keys_) {
        KeyPlace& mine = keys_[slot_of(place.key)];
        mine.present += place.present;
        mine.values->merge_node(*place.values);
    }
    last_slots_.clear();  // a cache checked on use; clearing it is always right
}

Value Structure::schema() const {
    Value schema;
    walk_on_stack(levels_, [&] { schema = schema_node(); });
    return schema;
}

void Structure::print_schema(std::string& out) const {
    // The schema value nests up to three levels per level of the summary (a mixed place holds its
    // alternatives in an object and an array).
    walk_on_stack(3 * levels_ + 2, [&] { print_indented(schema_node(), out); });
}

Value Structure::schema_node() const {
    const int kinds = !names_.empty() + (arrays_ > 0) + (objects_ > 0);
    if (kinds == 0) return Value(std::string("unknown"));
    if (kinds == 1) {
        if (objects_ > 0) return object_schema();
        if (arrays_ > 0) return array_schema();
        return scalar_value(names_);
    }
    // Several kinds meet here: one alternative per kind, in the order scalar, array, object.
    Array alternatives;
    alternatives.reserve(3);
    if (!names_.empty()) alternatives.push_back(scalar_value(names_));
    if (arrays_ > 0) alternatives.push_back(array_schema());
    if (objects_ > 0) alternatives.push_back(object_schema());
    Object mixed;
    mixed.emplace_back("__oneof__", Value(std::move(alternatives)));
    return Value(std::move(mixed));
}

Value Structure::array_schema() const {
    Array schema;
    if (items_) schema.push_back(items_->schema_node());
    return Value(std::move(schema));
}

Value Structure::object_schema() const {
    // A key missing from some object is marked optional. A key whose value is null counts as present.
    Object entries;
    entries.reserve(keys_.size());
    for (const KeyPlace& place : keys_) {
        std::string name = place.key;
        if (place.present < objects_) name += '?';
        entries.emplace_back(std::move(name), place.values->schema_node());
    }
    // Objects hold their entries in byte order of the names. A literal key "k?" and a missing key "k" share
    // one name; the one met later in first-appearance order wins, which the stable sort keeps last.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Object schema;
    schema.reserve(entries.size());
    for (auto& entry : entries) {
        if (!schema.empty() && schema.back().first == entry.first) schema.back().second = std::move(entry.second);
        else schema.push_back(std::move(entry));
    }
    return Value(std::move(schema));
}

// ---------------------------------------------------------------------------------------------------
// JSON Schema

namespace {

// JSON Schema's names of the scalar types, in ScalarNames order; an integer is also a "number".
constexpr std::string_view kJsonTypeName[ScalarNames::name_count] = {"boolean", "number", "integer", "null",
                                                                     "string"};

Value json_type(std::string_view name) { return Value(std::string(name)); }

Value scalar_json_schema(ScalarNames names) {
    Array types;
    for (int name = 0; name < ScalarNames::name_count; ++name) {
        const auto scalar = static_cast<ScalarNames::Name>(name);
        if (!names.contains(scalar)) continue;
        // "number" already admits every integer.
        if (scalar == ScalarNames::int_name && names.contains(ScalarNames::float_name)) continue;
        types.push_back(json_type(kJsonTypeName[name]));
    }
    Object schema;
    if (types.size() == 1) schema.emplace_back("type", std::move(types.front()));
    else schema.emplace_back("type", Value(std::move(types)));
    return Value(std::move(schema));
}

}  // namespace

Value Structure::json_schema() const {
    Value schema;
    walk_on_stack(levels_, [&] { schema = json_schema_node(); });
    return schema;
}

Value Structure::json_schema_node() const {
    Array alternatives;
    if (!names_.empty()) alternatives.push_back(scalar_json_schema(names_));
    if (arrays_ > 0) {
        Object array;
        array.emplace_back("type", json_type("array"));
        if (items_) array.emplace_back("items", items_->json_schema_node());
        alternatives.push_back(Value(std::move(array)));
    }
    if (objects_ > 0) alternatives.push_back(object_json_schema());
    if (alternatives.empty()) return Value(Object{});
    if (alternatives.size() == 1) return std::move(alternatives.front());
    Object mixed;
    mixed.emplace_back("anyOf", Value(std::move(alternatives)));
    return Value(std::move(mixed));
}

Value Structure::object_json_schema() const {
    Object properties;
    Array required;
    properties.reserve(keys_.size());
    for (const KeyPlace& place : keys_) {
        properties.emplace_back(place.key, place.values->json_schema_node());
        // A key whose value is null counts as present, as "required" counts it.
        if (place.present == objects_) required.push_back(Value(place.key));
    }
    Object schema;
    schema.emplace_back("type", json_type("object"));
    if (!properties.empty()) schema.emplace_back("properties", Value(std::move(properties)));
    if (!required.empty()) schema.emplace_back("required", Value(std::move(required)));
    return Value(std::move(schema));
}

}  // namespace tovak::json
