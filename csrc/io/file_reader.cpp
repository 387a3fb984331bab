#include "io/file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tovak::io {

FdSource::~FdSource() {
    if (fd_ >= 0) ::close(fd_);
}

ReadOutcome FdSource::read(char* dest, std::size_t n) {
    ssize_t got = ::read(fd_, dest, n);
    if (got < 0) return ReadOutcome{0, IoError{errno}};
    return ReadOutcome{static_cast<std::size_t>(got), std::nullopt};
}

std::optional<std::uint64_t> FdSource::size() const {
    struct stat status;
    if (::fstat(fd_, &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

bool FdSource::regular() const {
    struct stat status;
    return ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
}

OpenOutcome open_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return OpenOutcome{std::nullopt, IoError{0, kNulInPathText}};
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return OpenOutcome{std::nullopt, IoError{errno}};
    return OpenOutcome{FileReader(FdSource(fd)), IoError{}};
}

}  // namespace tovak::io
