#include "io/input.hpp"

#include "io/read_ahead.hpp"

namespace tovak::io {

namespace {

// When a thread reads ahead. Compressed input: inflating costs about as much as parsing, and the two
// then overlap on two cores (bench/io_read.cpp: gzip with a parse-like consumer took 0.7 to 0.85 of the
// time on one thread). Plain input: a read from the page cache is a small fraction of the parse, and
// the thread added its copy and its hand-over instead (1.05 to 1.2 of the time), so it is off. A source
// bound to the calling thread never moves.
bool reads_ahead(const InputOptions& options, Compression compression, bool may_leave_thread) {
    if (!may_leave_thread || options.read_ahead == ReadAhead::never) return false;
    return options.read_ahead == ReadAhead::always || compression != Compression::none;
}

}  // namespace

IoResult<Input> open_input_source(std::unique_ptr<ByteSource> stored, FdSource* fd_source, bool may_leave_thread,
                                  const InputOptions& options) {
    auto magic = std::make_unique<PeekSource>(std::move(stored));
    // Byte by byte while the bytes could still open a magic number: on a pipe, a short JSON text that
    // has arrived must not wait for kMagicSize bytes (each peek reads what is there, so this costs one
    // read in practice).
    std::size_t looked = 1;
    for (;; ++looked) {
        auto head = magic->peek(looked);
        if (!head.ok()) return std::move(head.error());
        if (head.value().size() < looked || looked == kMagicSize || !may_start_magic(head.value())) break;
    }
    const Compression compression = detect_compression(magic->peek(looked).value());
    const bool ahead = reads_ahead(options, compression, may_leave_thread);
    FdSource* blocking = fd_source != nullptr && !fd_source->is_regular_file() ? fd_source : nullptr;

    if (compression == Compression::none && !ahead) {
        if (fd_source != nullptr) fd_source->set_interrupt_check(options.interrupt_check);
        return Input{.source = std::move(magic), .compression = compression, .reads_ahead = false};
    }
    std::unique_ptr<ByteSource> bytes = decompressing(compression, std::move(magic));
    if (ahead) {
        auto thread = std::make_unique<ReadAheadSource>(std::move(bytes), blocking);
        thread->set_interrupt_check(options.interrupt_check);
        bytes = std::move(thread);
    } else if (fd_source != nullptr) {
        fd_source->set_interrupt_check(options.interrupt_check);
    }
    return Input{.source = std::make_unique<PeekSource>(std::move(bytes)), .compression = compression,
                 .reads_ahead = ahead};
}

IoResult<Input> open_input_path(const std::string& path, const InputOptions& options) {
    auto opened = open_file(path);
    if (!opened.ok()) return std::move(opened.error());
    FdSource* fd_source = opened.value().get();
    return open_input_source(std::move(opened.value()), fd_source, true, options);
}

IoResult<Input> open_input_fd(int fd, FdOwnership ownership, const InputOptions& options) {
    auto source = std::make_unique<FdSource>(fd, ownership);
    FdSource* fd_source = source.get();
    return open_input_source(std::move(source), fd_source, true, options);
}

IoResult<Input> open_input_memory(std::string_view bytes, const InputOptions& options) {
    return open_input_source(std::make_unique<MemorySource>(bytes), nullptr, true, options);
}

}  // namespace tovak::io
