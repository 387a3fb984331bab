#include "io/read.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

ReadOutcome PositionalBytes::read_at(char* dest, std::size_t n, std::uint64_t offset) const noexcept {
    if (memory_ != nullptr) {
        const std::size_t take =
            offset >= size_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
        if (take != 0) std::memcpy(dest, memory_ + offset, take);
        return ReadOutcome{take, std::nullopt};
    }
    n = std::min<std::size_t>(n, SSIZE_MAX);
    for (;;) {
        const ssize_t got = ::pread(fd_, dest, n, static_cast<off_t>(begin_ + offset));
        if (got >= 0) return ReadOutcome{static_cast<std::size_t>(got), std::nullopt};
        if (errno != EINTR) return ReadOutcome{0, IoError{errno}};
    }
}

ReadOutcome PositionalBytes::read_fully_at(char* dest, std::size_t n, std::uint64_t offset) const noexcept {
    std::size_t done = 0;
    while (done < n) {
        ReadOutcome got = read_at(dest + done, n - done, offset + done);
        done += got.bytes;
        if (!got.ok()) return ReadOutcome{done, std::move(got.error)};
        if (got.bytes == 0) break;
    }
    return ReadOutcome{done, std::nullopt};
}

}  // namespace tovak::io
