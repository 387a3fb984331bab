#include "records/pointer_cutter.hpp"

namespace tovak::records {

std::string describe_miss(const json::Pointer& pointer, const PointerMiss& miss) {
    std::string text = "\"";
    text.append(json::pointer_prefix(pointer, miss.matched)).append("\"");
    const bool container = miss.value == json::ValueKind::object || miss.value == json::ValueKind::array;
    if (!container) return text.append(" is ").append(json::describe(miss.value)).append(", not a container");
    const std::string& token = pointer.tokens[miss.matched];
    if (miss.value == json::ValueKind::object)
        return text.append(" holds an object without member \"").append(token).append("\"");
    text.append(" holds an array of ").append(std::to_string(miss.elements)).append(" element");
    if (miss.elements != 1) text.append("s");
    if (pointer.indices[miss.matched] == json::Pointer::kNotIndex)
        return text.append(": \"").append(token).append("\" is no index");
    return text.append(", none at index ").append(token);
}

}  // namespace tovak::records
