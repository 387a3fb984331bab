// A parser sink that builds the JSON value model, and the one-call parse into it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/parser.hpp"
#include "json/value.hpp"

namespace tovak::json {

// Builds one Value. Children of the open containers wait on a stack and are moved into their container
// when it closes; object entries are then ordered by key bytes, a repeated key keeping its last value.
class ValueSink {
public:
    bool null() { return push(); }
    bool boolean(bool value) { return push(value); }
    bool uint(std::uint64_t value) { return push(value); }
    bool sint(std::int64_t value) { return push(value); }
    bool dbl(double value) { return push(value); }
    // Under exact-integer rules: the value model keeps integers within 64 bits, so a larger one is kept as
    // an integer of its sign (the limit of that sign), which is what structure inference looks at.
    bool big_integer(std::string_view text) {
        return text.front() == '-' ? push(std::int64_t{INT64_MIN}) : push(std::uint64_t{UINT64_MAX});
    }
    bool string(std::string_view utf8, bool) { return push(std::string(utf8)); }

    bool begin_array() {
        open_.push_back(values_.size());
        deepest_ = std::max(deepest_, open_.size());
        return true;
    }
    bool end_array() {
        std::size_t start = take_frame();
        Array items(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(start)),
                    std::make_move_iterator(values_.end()));
        values_.resize(start);
        return push(std::move(items));
    }

    bool begin_object() {
        open_.push_back(values_.size());
        deepest_ = std::max(deepest_, open_.size());
        key_open_.push_back(keys_.size());
        return true;
    }
    bool key(std::string_view utf8, bool) {
        keys_.emplace_back(utf8);
        return true;
    }
    bool end_object() {
        std::size_t start = take_frame();
        std::size_t key_start = key_open_.back();
        key_open_.pop_back();
        std::size_t count = values_.size() - start;
        // The entries are ordered through their indices, so sorting never moves a key or a value; of equal
        // keys (adjacent in text order once sorted) the last is kept.
        const std::string* keys = keys_.data() + key_start;
        order_.resize(count);
        for (std::size_t i = 0; i < count; ++i) order_[i] = static_cast<std::uint32_t>(i);
        std::sort(order_.begin(), order_.end(), [keys](std::uint32_t a, std::uint32_t b) {
            int order = keys[a].compare(keys[b]);
            return order < 0 || (order == 0 && a < b);
        });
        Object entries;
        entries.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            std::uint32_t i = order_[k];
            if (k + 1 < count && keys[i] == keys[order_[k + 1]]) continue;
            entries.emplace_back(std::move(keys_[key_start + i]), std::move(values_[start + i]));
        }
        keys_.resize(key_start);
        values_.resize(start);
        return push(std::move(entries));
    }

    // The finished value (after a successful parse). Leaves the sink empty for the next parse.
    Value take() {
        Value out = std::move(values_.back());
        const std::size_t levels = deepest_;
        reset();
        levels_ = levels;
        return out;
    }
    // How deep the value last taken nests (0 for a scalar).
    std::size_t levels() const noexcept { return levels_; }

    // Drops whatever a failed parse left behind. (Not required before reusing the sink: leftovers sit
    // below the next parse's frames and are dropped by its `take`.)
    void reset() {
        values_.clear();
        open_.clear();
        keys_.clear();
        key_open_.clear();
        deepest_ = 0;
    }

private:
    template <class... Args>
    bool push(Args&&... args) {
        values_.emplace_back(std::forward<Args>(args)...);
        return true;
    }
    std::size_t take_frame() {
        std::size_t start = open_.back();
        open_.pop_back();
        return start;
    }

    std::vector<Value> values_;        // finished values whose container is still open, and the result
    std::vector<std::size_t> open_;    // where each open container's children start in values_
    std::vector<std::string> keys_;    // keys of the open objects' members, in text order
    std::vector<std::size_t> key_open_;  // where each open object's keys start in keys_
    std::vector<std::uint32_t> order_;   // sorting space for end_object
    std::size_t deepest_ = 0;            // the most containers open at once in this parse
    std::size_t levels_ = 0;             // deepest_ of the value last taken
};

// Parses `text` (valid UTF-8) into `out`, or gives the syntax error (then `out` is unchanged).
inline std::optional<ParseError> parse_value(std::string_view text, Value& out) {
    ValueSink sink;
    ParseOutcome outcome = parse(text, sink);
    if (!outcome.ok()) return outcome.error;
    out = sink.take();
    return std::nullopt;
}

}  // namespace tovak::json
