// schema(path, sample=100, format=None): the merged structure of a file's first records, and the structure
// inference behind it.
//
// A schema value is a JSON value built of: type expressions ("unknown", or scalar type names such as
// "int|null" joined by "|" in byte order), array schemas (empty, or one element describing every item),
// object schemas (names marked with a trailing "?" when some object lacks the key), and the mixed-kind
// object {"__oneof__": [scalar, array, object]} holding one alternative per kind present.
#pragma once

#include <cstdint>
#include <span>

#include "api/frame.hpp"
#include "json/value.hpp"

namespace tovak::bigjson {

// The values being merged. Inference only points at them; they must outlive the call.
using ValueRefs = std::span<const json::Value* const>;

// The scalar type names met at one place, as a set ordered by the names' bytes.
class ScalarNames {
public:
    // In ascending byte order of the names, which is the order they print in.
    enum Name : std::uint8_t { bool_name, float_name, int_name, null_name, str_name, name_count };

    void insert(Name name) noexcept { bits_ |= static_cast<std::uint8_t>(1u << name); }
    bool contains(Name name) const noexcept { return (bits_ >> name) & 1u; }
    bool empty() const noexcept { return bits_ == 0; }

    // The name of a scalar value (null, boolean, number or string).
    static Name of(const json::Value& scalar) noexcept;

private:
    std::uint8_t bits_ = 0;
};

// The schema of all `values` together; "unknown" when there are none.
json::Value infer(ValueRefs values);
// The object schema of one or more objects.
json::Value infer_object(ValueRefs objects);
// The array schema of one or more arrays.
json::Value infer_array(ValueRefs arrays);
// The type expression of a non-empty set of names: the names joined by "|".
json::Value scalar_value(ScalarNames names);

extern PyMethodDef schema_method;

}  // namespace tovak::bigjson
