#include "io/source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tovak::io {

// ---------------------------------------------------------------------------------------------------
// File descriptor

FdSource::FdSource(int fd, FdOwnership ownership) : fd_(fd), ownership_(ownership) {
    struct stat status;
    if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
        regular_ = true;
        const off_t offset = ::lseek(fd_, 0, SEEK_CUR);
        const auto size = static_cast<std::uint64_t>(status.st_size);
        const auto start = offset > 0 ? static_cast<std::uint64_t>(offset) : 0;
        start_ = start;
        stored_size_ = size > start ? size - start : 0;
    }
}

std::optional<PositionalBytes> FdSource::positional() const {
    // A descriptor its owner keeps (standard input) must end where reading it to the end leaves it, which
    // reads at positions would not do.
    if (!regular_ || ownership_ != FdOwnership::owned || stop_ != nullptr) return std::nullopt;
    const std::uint64_t size = *stored_size_ > bytes_read_ ? *stored_size_ - bytes_read_ : 0;
    return PositionalBytes::of_file(fd_, start_ + bytes_read_, size);
}

FdSource::~FdSource() {
    if (ownership_ == FdOwnership::owned && fd_ >= 0) ::close(fd_);  // close() is never retried on Linux
}

ReadOutcome FdSource::read(char* dest, std::size_t n) {
    n = std::min<std::size_t>(n, SSIZE_MAX);
    for (;;) {
        if (stop_ != nullptr) {
            // Wait in short slices so that a stop request is seen even while the writer is idle.
            pollfd ready{.fd = fd_, .events = POLLIN, .revents = 0};
            const int polled = ::poll(&ready, 1, kStopPollMs);
            if (stop_->load(std::memory_order_acquire)) return ReadOutcome{0, IoError{0, kStoppedText}};
            if (polled == 0) continue;
            if (polled < 0 && errno != EINTR) return ReadOutcome{0, IoError{errno}};
            if (polled < 0) continue;
        }
        const ssize_t got = ::read(fd_, dest, n);
        if (got >= 0) {
            bytes_read_ += static_cast<std::uint64_t>(got);
            return ReadOutcome{static_cast<std::size_t>(got), std::nullopt};
        }
        if (errno != EINTR) return ReadOutcome{0, IoError{errno}};
        if (interrupt_check_) {
            if (std::optional<IoError> stop = interrupt_check_()) return ReadOutcome{0, std::move(*stop)};
        }
    }
}

IoResult<std::unique_ptr<FdSource>> open_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return IoError{0, kNulInPathText};
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError{errno};
    auto source = std::make_unique<FdSource>(fd, FdOwnership::owned);
    struct stat status;
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) return IoError{EISDIR};  // closes fd
    return source;
}

// ---------------------------------------------------------------------------------------------------
// Memory

ReadOutcome MemorySource::read(char* dest, std::size_t n) {
    const std::size_t take = std::min(n, bytes_.size() - pos_);
    if (take != 0) std::memcpy(dest, bytes_.data() + pos_, take);
    pos_ += take;
    return ReadOutcome{take, std::nullopt};
}

// ---------------------------------------------------------------------------------------------------
// Looking ahead

IoResult<std::string_view> PeekSource::peek(std::size_t n) {
    while (head_.size() < n && !inner_ended_) {
        // Whatever one read gives, up to a little more than asked: fewer reads when peeks grow byte by byte.
        const std::size_t had = head_.size(), ask = std::max(n - had, kPeekReadSize);
        head_.resize(had + ask);
        ReadOutcome got = inner_->read(head_.data() + had, ask);
        head_.resize(had + got.bytes);
        if (!got.ok()) return std::move(*got.error);
        if (got.bytes == 0) inner_ended_ = true;
    }
    return std::string_view(head_).substr(0, std::min(n, head_.size()));
}

IoResult<std::string_view> PeekSource::peek_more(std::size_t limit) {
    if (head_.size() < limit && !inner_ended_) {
        const std::size_t had = head_.size();
        std::size_t ask = limit - had;
        // Input of known size (a file, bytes) is asked for what it holds, one byte more to meet its end: the
        // window is not grown (and zero-filled) to the limit for a short input.
        if (std::optional<PositionalBytes> rest = inner_->positional())
            ask = static_cast<std::size_t>(std::min<std::uint64_t>(ask, rest->size() + 1));
        head_.resize(had + ask);
        ReadOutcome got = inner_->read(head_.data() + had, ask);
        head_.resize(had + got.bytes);
        if (!got.ok()) return std::move(*got.error);
        if (got.bytes == 0) inner_ended_ = true;
    }
    return std::string_view(head_).substr(0, std::min(limit, head_.size()));
}

std::optional<PositionalBytes> PeekSource::positional() const {
    std::optional<PositionalBytes> inner = inner_->positional();
    if (!inner) return std::nullopt;
    return inner->widened(head_.size() - replayed_);
}

ReadOutcome PeekSource::read(char* dest, std::size_t n) {
    if (replayed_ < head_.size()) {
        const std::size_t take = std::min(n, head_.size() - replayed_);
        std::memcpy(dest, head_.data() + replayed_, take);
        replayed_ += take;
        if (replayed_ == head_.size()) {  // replayed whole: the copy is no longer needed
            head_ = std::string();
            replayed_ = 0;
        }
        return ReadOutcome{take, std::nullopt};
    }
    if (inner_ended_) return ReadOutcome{0, std::nullopt};
    return inner_->read(dest, n);
}

}  // namespace tovak::io
