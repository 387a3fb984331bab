#include "io/read.hpp"

#include <cstring>
#include <type_traits>

namespace tovak::io {

std::string IoError::text() const {
    if (fixed_text != nullptr) return fixed_text;
    if (os_error == 0) return detail;
    char buffer[256];
    buffer[0] = '\0';
    // The GNU and XSI variants differ in their return type; both leave a message somewhere.
    auto result = strerror_r(os_error, buffer, sizeof buffer);
    const char* message = buffer;
    if constexpr (std::is_same_v<decltype(result), char*>) message = result;
    return std::string(message) + " (os error " + std::to_string(os_error) + ")";
}

}  // namespace tovak::io
