#include "api/range_count.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "api/workers.hpp"
#include "json/scan.hpp"
#include "json/text.hpp"
#include "records/parallel.hpp"
#include "records/range_count.hpp"

namespace tovak::api {

std::size_t automatic_count_threads(std::uint64_t size) {
    if (size < kParallelCountFrom) return 1;
    return std::max<std::size_t>(1, std::min<std::uint64_t>(available_cores(), size / kBytesPerCountWorker));
}

std::optional<std::uint64_t> array_bracket(std::string_view head) noexcept {
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (json::is_space_byte(static_cast<unsigned char>(head[i]))) continue;
        if (head[i] == '[') return i;
        return std::nullopt;
    }
    return std::nullopt;
}

namespace {

// Ranges in flight per worker: one being counted, one counted waiting for the caller, one waiting.
constexpr std::size_t kBatchesPerWorker = 3;

// Default ranges: a few per worker, so that one slow worker (another process on its core) holds up the end
// little, and each big enough that handing it over costs nothing.
constexpr std::uint64_t kRangesPerWorker = 8;
constexpr std::uint64_t kSmallestRange = std::uint64_t{1} << 20;
constexpr std::uint64_t kLargestRange = std::uint64_t{16} << 20;
// The input's last bytes are a range of their own: an array closes there, and the range where it closes
// is counted again on the calling thread.
constexpr std::uint64_t kLastRange = std::uint64_t{64} << 10;

struct RangeJob {
    records::ByteRange range;
    bool first = false;  // starts right after the array's `[`, outside a string
    records::LineRangeCount lines;
    records::ArrayRangeCount array;
};

// Each worker counts whole ranges with its own buffer; none touches the interpreter.
class RangeWorkers : public records::PlainWorker {
public:
    RangeWorkers(const io::PositionalBytes& input, bool lines, std::size_t threads)
        : input_(input), lines_(lines), level_(json::wide_simd_level()), buffers_(threads) {}

    void set_pool(const records::OrderedPool<RangeJob, RangeWorkers>* pool) noexcept { pool_ = pool; }
    void leave(std::size_t w) { buffers_[w].reset(); }

    void run(RangeJob& job, std::size_t w) noexcept {
        const records::InterruptCheck stop{&stopping, const_cast<records::OrderedPool<RangeJob, RangeWorkers>*>(pool_)};
        try {
            if (!buffers_[w]) buffers_[w] = std::make_unique<records::RangeBuffer>();
            if (lines_) {
                job.lines = records::count_line_range(input_, job.range, *buffers_[w], level_, stop);
            } else {
                std::optional<json::StringCarry> known;
                if (job.first) known = json::StringCarry{};
                job.array = records::count_array_range(input_, job.range, known, *buffers_[w], level_, stop);
            }
        } catch (...) {  // a failed allocation
            job.lines = records::LineRangeCount{};
            job.lines.read.error = io::IoError{ENOMEM};
            job.array = records::ArrayRangeCount{};
            job.array.read.error = io::IoError{ENOMEM};
        }
    }

private:
    static bool stopping(void* pool) {
        return static_cast<const records::OrderedPool<RangeJob, RangeWorkers>*>(pool)->stopping();
    }

    const io::PositionalBytes input_;
    const bool lines_;
    const json::SimdLevel level_;
    std::vector<std::unique_ptr<records::RangeBuffer>> buffers_;
    const records::OrderedPool<RangeJob, RangeWorkers>* pool_ = nullptr;
};

// Cuts [first, size) into ranges in order: `size` bytes each (starting at multiples of `align` from 0),
// the last bytes apart (kLastRange), the last range reaching to wherever the input ends.
class RangeCutter {
public:
    RangeCutter(std::uint64_t first, std::uint64_t size, std::uint64_t range, std::uint64_t align)
        : next_(first), range_(range) {
        const std::uint64_t tail = std::min(kLastRange, range);
        last_ = size > first + tail ? (size - tail) / align * align : first;
        if (last_ < first) last_ = first;
    }
    bool done() const noexcept { return done_; }
    records::ByteRange next() noexcept {
        records::ByteRange range{next_, 0, false};
        if (next_ >= last_) {
            range.to_end = true;
            done_ = true;
            return range;
        }
        range.end = std::min(next_ + range_, last_);
        next_ = range.end;
        return range;
    }

private:
    std::uint64_t next_, last_ = 0;
    const std::uint64_t range_;
    bool done_ = false;
};

}  // namespace

std::optional<records::CountOutcome> count_ranges(const io::PositionalBytes& input, bool lines, std::uint64_t first,
                                                  const records::RecordOptions& options, std::size_t threads,
                                                  std::uint64_t range_size) {
    const std::uint64_t size = input.size();
    const std::uint64_t body = size > first ? size - first : 0;
    const std::uint64_t align = lines ? json::kBlockSize : 1;
    std::uint64_t range = range_size;
    if (range == 0) range = std::clamp(body / (threads * kRangesPerWorker), kSmallestRange, kLargestRange);
    range = (range + align - 1) / align * align;
    if (body <= range) return std::nullopt;  // one range: the serial scan
    threads = static_cast<std::size_t>(std::min<std::uint64_t>(threads, body / range + 2));

    RangeWorkers workers(input, lines, threads);
    records::OrderedPool<RangeJob, RangeWorkers> pool(workers, threads, threads * kBatchesPerWorker);
    workers.set_pool(&pool);
    auto finish = [&](records::CountOutcome outcome) {
        stop_detached(pool);
        return outcome;
    };
    auto interrupted = [&] { return finish(records::CountOutcome::failed(records::ErrorKind::interrupted)); };

    RangeCutter cutter(first, size, range, align);
    records::InterruptClock clock(options);
    records::LineRangeMerge line_merge;
    records::ArrayRangeMerge array_merge;
    std::unique_ptr<records::RangeBuffer> recount_buffer;
    const json::SimdLevel level = json::wide_simd_level();
    for (bool first_range = true;;) {
        while (!cutter.done()) {
            RangeJob* job = pool.free_slot();
            if (job == nullptr) break;
            job->range = cutter.next();
            job->first = first_range;
            first_range = false;
            pool.submit();
        }
        if (pool.in_flight() == 0) break;
        RangeJob* job = wait_front(pool);
        if (job == nullptr) return interrupted();
        if (lines) {
            const bool more = line_merge.add(job->lines);
            if (clock.tick(job->lines.read.bytes)) return interrupted();
            if (!more) return finish(line_merge.outcome());
        } else {
            const records::ArrayRangeCount& counted = job->array;
            if (counted.read.error)
                return finish(records::CountOutcome::failed(records::ErrorKind::io, *counted.read.error));
            if (array_merge.fits(counted)) {
                array_merge.add(counted);
            } else {
                if (!recount_buffer) recount_buffer = std::make_unique<records::RangeBuffer>();
                if (std::optional<io::IoError> failed =
                        array_merge.recount(input, job->range.begin, counted.read.bytes, *recount_buffer, level))
                    return finish(records::CountOutcome::failed(records::ErrorKind::io, std::move(*failed)));
            }
            if (clock.tick(counted.read.bytes)) return interrupted();
            if (counted.read.at_end) return finish(records::CountOutcome{array_merge.count(), std::nullopt});
        }
        pool.release_front();
    }
    // Not reached: the last range reaches to the end of the input.
    return finish(lines ? line_merge.outcome() : records::CountOutcome{array_merge.count(), std::nullopt});
}

}  // namespace tovak::api
