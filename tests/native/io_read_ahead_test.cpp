// The read-ahead thread and the file descriptor source: through random ring shapes and read sizes the
// bytes come out as the inner source gave them, followed by its end or its error; destroying a
// read-ahead in the middle of a stream returns promptly, also while its thread waits on an idle pipe or
// for room in a full ring; a pipe read directly or through gzip and read-ahead gives every byte; an
// interrupt check ends a wait. A watchdog alarm turns a hang into a failure. Built with
// -DTOVAK_NATIVE_TESTS=ON and run by .ci/native-tests; exits nonzero on any mismatch.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "io/input.hpp"
#include "io/read_ahead.hpp"
#include "io/source.hpp"
#include "io_check.hpp"

namespace {

using namespace native_check;
using namespace io_check;
using namespace tovak::io;
using Clock = std::chrono::steady_clock;

// Gives its bytes in pieces of random size, then fails (when `fails`), like a damaged stream.
class FailingSource final : public ByteSource {
public:
    FailingSource(std::string bytes, bool fails, std::uint64_t seed) : bytes_(std::move(bytes)), fails_(fails), random_(seed) {}
    ReadOutcome read(char* dest, std::size_t n) override {
        if (pos_ == bytes_.size()) {
            if (fails_) return ReadOutcome{0, IoError{0, nullptr, "damaged here", IoError::Kind::damaged}};
            return ReadOutcome{};
        }
        const std::size_t take = std::min({n, bytes_.size() - pos_, random_.between(1, 5000)});
        std::memcpy(dest, bytes_.data() + pos_, take);
        pos_ += take;
        return ReadOutcome{take, std::nullopt};
    }
    std::uint64_t stored_bytes_read() const override { return pos_; }

private:
    std::string bytes_;
    std::size_t pos_ = 0;
    bool fails_;
    Random random_;
};

void check_order(Report& report, Random& random) {
    for (int round = 0; round < 40; ++round) {
        const std::string text = sample_text(random, random.between(0, 200000));
        const bool fails = random.percent(50);
        const ReadAheadSource::Shape shape{.chunk_size = random.between(1, 70000), .chunks = random.between(1, 5)};
        ReadAheadSource ahead(std::make_unique<FailingSource>(text, fails, round), nullptr, shape);
        Drained got = drain(ahead, random, 100000);
        const bool error_ok = fails ? got.error && got.error->detail == "damaged here" : !got.error;
        // After the end or the error, every read says the same again.
        char byte;
        ReadOutcome again = ahead.read(&byte, 1);
        const bool again_ok = again.bytes == 0 && again.ok() == !fails;
        report.check(got.bytes == text && error_ok && again_ok && ahead.stored_bytes_read() == text.size(),
                     [&] {
                         return "read-ahead round " + std::to_string(round) + ": " + std::to_string(got.bytes.size()) +
                                " of " + std::to_string(text.size()) + " bytes, chunk " + std::to_string(shape.chunk_size) +
                                " x " + std::to_string(shape.chunks);
                     },
                     "");
    }
}

// A pipe whose writer end the test keeps; `fill` bytes are written first.
struct Pipe {
    int read_end = -1, write_end = -1;
    Pipe() {
        int ends[2];
        if (::pipe(ends) != 0) std::abort();
        read_end = ends[0];
        write_end = ends[1];
    }
    void close_writer() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
    ~Pipe() { close_writer(); }
};

void write_all(int fd, std::string_view bytes, Random& random) {
    while (!bytes.empty()) {
        const std::size_t piece = std::min(bytes.size(), random.between(1, 100000));
        const ssize_t put = ::write(fd, bytes.data(), piece);
        if (put <= 0) std::abort();
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

void check_destroy_mid_stream(Report& report, Random& random) {
    // Waiting on an idle pipe: the writer sent a little and went quiet without closing.
    for (Compression compression : {Compression::none, Compression::gzip}) {
        Pipe pipe;
        std::string first = compression == Compression::gzip ? run_tool("gzip -c", sample_text(random, 100000)) : "[1, 2, 3]\n";
        first.resize(first.size() / 2);  // the rest never comes
        write_all(pipe.write_end, first, random);
        auto opened = open_input_fd(pipe.read_end, FdOwnership::owned, InputOptions{.read_ahead = ReadAhead::always});
        char buffer[4];
        const bool read_ok = opened.ok() && opened.value().reads_ahead && opened.value().source->read(buffer, 4).bytes == 4;
        const auto start = Clock::now();
        opened = IoError{};  // destroys the input: the thread must stop within a few poll slices
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        report.check(read_ok && took < 1000,
                     [&] { return std::string("idle pipe, ") + compression_name(compression) + ": stopped in " + std::to_string(took) + " ms"; },
                     "");
    }
    // Waiting for room: the ring is full and nobody reads.
    const std::string big(8 << 20, 'x');
    {
        ReadAheadSource ahead(std::make_unique<MemorySource>(big), nullptr, ReadAheadSource::Shape{.chunk_size = 65536, .chunks = 2});
        char byte;
        report.check(ahead.read(&byte, 1).bytes == 1, [] { return std::string("full ring: no first byte"); }, "");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }  // destroyed here; a hang trips the watchdog
}

// Pipes read directly (chunks as they come) and through gzip with read-ahead, with a writer thread.
void check_pipes(Report& report, Random& random) {
    const std::string text = sample_text(random, 3 << 20);
    const std::string packed = run_tool("gzip -c -1", text);
    for (int way = 0; way < 3; ++way) {
        Pipe pipe;
        const std::string& sent = way == 2 ? packed : text;
        std::thread writer([&, seed = random.below(1000)] {
            Random pieces(seed);
            write_all(pipe.write_end, sent, pieces);
            pipe.close_writer();
        });
        auto opened = open_input_fd(pipe.read_end, way == 0 ? FdOwnership::borrowed : FdOwnership::owned,
                                    InputOptions{.read_ahead = way == 1 ? ReadAhead::always : ReadAhead::automatic});
        Drained got = opened.ok() ? drain(*opened.value().source, random) : Drained{{}, opened.error()};
        writer.join();
        const bool kind_ok = opened.ok() && opened.value().reads_ahead == (way != 0) &&
                             opened.value().compression == (way == 2 ? Compression::gzip : Compression::none) &&
                             !opened.value().source->stored_size();
        report.check(!got.error && got.bytes == text && kind_ok,
                     [&] { return "pipe way " + std::to_string(way) + ": " + std::to_string(got.bytes.size()) + " bytes"; }, "");
        opened = IoError{};
        if (way == 0) {  // borrowed: still open, and the caller closes it
            report.check(::fcntl(pipe.read_end, F_GETFD) != -1, [] { return std::string("borrowed fd was closed"); }, "");
            ::close(pipe.read_end);
        } else {
            report.check(::fcntl(pipe.read_end, F_GETFD) == -1, [] { return std::string("owned fd left open"); }, "");
        }
    }
}

// A consumer waiting on an idle pipe gives up when its interrupt check says so.
void check_interrupt(Report& report) {
    Pipe pipe;
    int asked = 0;
    const InputOptions options{.read_ahead = ReadAhead::always, .interrupt_check = [&]() -> std::optional<IoError> {
        if (++asked < 3) return std::nullopt;
        return IoError{0, nullptr, "interrupted", IoError::Kind::python};
    }};
    write_all(pipe.write_end, "[1]\n[2]\n", *std::make_unique<Random>(1));
    auto opened = open_input_fd(pipe.read_end, FdOwnership::owned, options);
    char buffer[64];
    ReadOutcome first = opened.value().source->read(buffer, sizeof buffer);
    ReadOutcome waited = opened.value().source->read(buffer, sizeof buffer);
    report.check(first.bytes == 8 && !waited.ok() && waited.error->kind == IoError::Kind::python && asked == 3,
                 [&] { return "interrupt check asked " + std::to_string(asked) + " times"; }, "");
}

void on_watchdog(int) {
    static const char kText[] = "FAILED: io_read_ahead_test hung (watchdog)\n";
    [[maybe_unused]] ssize_t put = ::write(STDOUT_FILENO, kText, sizeof kText - 1);
    ::_exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGALRM, on_watchdog);  // a hang is a failure, not a stuck CI run
    ::alarm(120);
    Report report("io_read_ahead_test");
    Random random(seed_from(argc, argv, 0xA4EAD));
    check_order(report, random);
    check_destroy_mid_stream(report, random);
    check_pipes(report, random);
    check_interrupt(report);
    return report.finish();
}
