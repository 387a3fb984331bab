// Shared by the input-layer test programs: compressing with the command-line tools, reading a source to
// its end through random read sizes, and sources that misbehave on purpose.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "io/read.hpp"
#include "native_check.hpp"

namespace io_check {

using tovak::io::ByteSource;
using tovak::io::IoError;
using tovak::io::ReadOutcome;

// The standard output of a shell command given `input` on its standard input (through a file, so that
// large outputs cannot dead-lock); exits the program when the command fails.
inline std::string run_tool(const std::string& command, std::string_view input = {}) {
    char path[] = "/tmp/tovak-io-test-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || ::write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) std::abort();
    ::close(fd);
    const std::string full = "(" + command + ") < " + path;
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) std::abort();
    std::string out;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) != 0) out.append(buffer, got);
    const int status = ::pclose(pipe);
    ::unlink(path);
    if (status != 0) {
        std::printf("FAILED: `%s` exited with %d (is the tool installed? .ci/run installs it)\n", command.c_str(), status);
        std::exit(EXIT_FAILURE);
    }
    return out;
}

// What reading a source to its end gave: every byte, then the error that ended it (if any).
struct Drained {
    std::string bytes;
    std::optional<IoError> error;
};

// Reads with sizes from 1 byte to 200 KB, drawn at random.
inline Drained drain(ByteSource& source, native_check::Random& random, std::size_t largest = 200000) {
    Drained out;
    std::string buffer(largest, '\0');
    for (;;) {
        const std::size_t want = random.percent(30) ? random.between(1, 16) : random.between(1, largest);
        ReadOutcome got = source.read(buffer.data(), want);
        if (got.bytes > want) std::abort();
        out.bytes.append(buffer.data(), got.bytes);
        if (!got.ok()) {
            out.error = got.error;
            return out;
        }
        if (got.bytes == 0) return out;
    }
}

// Text of JSON lines with some arbitrary bytes in it: compresses like real input, not like noise.
inline std::string sample_text(native_check::Random& random, std::size_t size) {
    std::string text;
    while (text.size() < size) {
        text += "{\"id\": " + std::to_string(random.below(1000000)) + ", \"name\": \"n" +
                std::to_string(random.below(50)) + "\", \"raw\": \"";
        for (std::size_t i = random.below(40); i != 0; --i) text += static_cast<char>(random.byte());
        text += "\"}\n";
    }
    return text;
}

inline bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

}  // namespace io_check
