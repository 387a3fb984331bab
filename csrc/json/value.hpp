// The JSON value model: null, boolean, the three number forms, string, array, and object with unique keys
// held in ascending byte order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tovak::json {

class Value;
using Array = std::vector<Value>;
// Entries sorted by key bytes, keys unique.
using Object = std::vector<std::pair<std::string, Value>>;

struct Null {};

class Value {
public:
    enum class Kind : std::uint8_t { null, boolean, uint, sint, dbl, string, array, object };

    Value() = default;
    Value(bool b) : data_(b) {}
    Value(std::uint64_t u) : data_(u) {}
    Value(std::int64_t i) : data_(i) {}
    Value(double d) : data_(d) {}
    Value(std::string s) : data_(std::move(s)) {}
    Value(Array a) : data_(std::move(a)) {}
    Value(Object o) : data_(std::move(o)) {}
    Value(const Value&) = default;
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;
    // A value may nest thousands of levels deep: its containers are taken apart without recursing.
    ~Value() {
        if (is_array() || is_object()) release_nested();
    }

    Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }
    bool is_null() const noexcept { return kind() == Kind::null; }
    bool is_array() const noexcept { return kind() == Kind::array; }
    bool is_object() const noexcept { return kind() == Kind::object; }
    bool is_string() const noexcept { return kind() == Kind::string; }
    bool is_scalar() const noexcept { return !is_array() && !is_object(); }

    bool as_bool() const { return std::get<bool>(data_); }
    std::uint64_t as_uint() const { return std::get<std::uint64_t>(data_); }
    std::int64_t as_sint() const { return std::get<std::int64_t>(data_); }
    double as_double() const { return std::get<double>(data_); }
    const std::string& as_string() const { return std::get<std::string>(data_); }
    const Array& as_array() const { return std::get<Array>(data_); }
    Array& as_array() { return std::get<Array>(data_); }
    const Object& as_object() const { return std::get<Object>(data_); }
    Object& as_object() { return std::get<Object>(data_); }

    // The entry for `key` in an object, or null when the object has none (binary search).
    const Value* find(std::string_view key) const;

private:
    void release_nested() noexcept;

    std::variant<Null, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> data_;
};

inline const Value* Value::find(std::string_view key) const {
    const Object& entries = as_object();
    std::size_t low = 0, high = entries.size();
    while (low < high) {
        std::size_t mid = (low + high) / 2;
        int order = std::string_view(entries[mid].first).compare(key);
        if (order == 0) return &entries[mid].second;
        if (order < 0) low = mid + 1;
        else high = mid;
    }
    return nullptr;
}

// Moves the containers held by this one onto a list and takes them apart from there, so that each one
// destroyed holds no container any more.
inline void Value::release_nested() noexcept {
    std::vector<Value> pending;
    auto holds_values = [](const Value& value) {
        return (value.is_array() && !value.as_array().empty()) || (value.is_object() && !value.as_object().empty());
    };
    auto take_children = [&](Value& value) {
        if (value.is_array()) {
            for (Value& item : value.as_array())
                if (holds_values(item)) pending.push_back(std::move(item));
        } else if (value.is_object()) {
            for (auto& entry : value.as_object())
                if (holds_values(entry.second)) pending.push_back(std::move(entry.second));
        }
    };
    take_children(*this);
    while (!pending.empty()) {
        Value next = std::move(pending.back());
        pending.pop_back();
        take_children(next);
    }
}

}  // namespace tovak::json
