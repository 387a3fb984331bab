#include "io/file_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tovak::io {

OpenOutcome open_file_reader(const std::string& path) {
    if (path.find('\0') != std::string::npos) return OpenOutcome{std::nullopt, IoError{0, kNulInPathText}};
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return OpenOutcome{std::nullopt, IoError{errno}};
    return OpenOutcome{FileReader(OwnedFile(std::make_unique<FdSource>(fd, FdOwnership::owned))), IoError{}};
}

}  // namespace tovak::io
