// The parallel driver (records/parallel.hpp) without the interpreter: JSONL and array texts cut into batches
// by the one cutter (and the members of an object by the pointer cutter, with their keys), handled by 1 to
// 64 worker threads that parse every record (with the caller parsing batches too, or only waiting), and
// taken back in order.
// Whatever the thread count, batch limits and read sizes, the caller must meet the serial cutter's records
// (number, offset, text) and the first syntax error, in file order; a pool dropped with jobs in flight must
// stop and join. Run by .ci/native-tests, and by .ci/thread-sanitize under ThreadSanitizer, which checks
// the hand-over of batches between the caller and the workers. An argument replaces the fixed seed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "io/file_reader.hpp"
#include "json/check_sink.hpp"
#include "json/parser.hpp"
#include "native_check.hpp"
#include "records/count.hpp"
#include "records/cutter.hpp"
#include "records/parallel.hpp"
#include "records/pointer_cutter.hpp"

namespace {

using namespace native_check;
using tovak::records::Batch;
using tovak::records::BatchLimits;
using tovak::records::Cut;
using tovak::records::CutStatus;
using tovak::records::MemoryReader;
using tovak::records::Next;
using tovak::records::OrderedPool;
using tovak::records::Record;
using tovak::records::RecordCutter;
using tovak::records::RecordOptions;
using tovak::records::Tolerance;
using Reader = tovak::io::BufferedReader<MemoryReader>;
using Cutter = RecordCutter<Reader>;
using PointerCutter = tovak::records::PointerCutter<Reader, tovak::json::FixedWidthRules>;

RecordOptions options_for(Cut cut) {
    RecordOptions options;
    options.cut = cut;
    options.tolerance = Tolerance::strict;
    return options;
}

// The members of the object at /rows; null: the records of `cut`.
const tovak::json::Pointer* rows_pointer() {
    static const tovak::json::Pointer pointer = [] {
        tovak::json::Pointer parsed;
        tovak::json::PointerSyntaxError error;
        tovak::json::parse_pointer("/rows", parsed, error);
        return parsed;
    }();
    return &pointer;
}

// The cutter of a round: the record cutter, or the pointer cutter over {"rows": {...}}.
struct AnyCutter {
    std::unique_ptr<Cutter> records;
    std::unique_ptr<PointerCutter> members;

    AnyCutter(std::string_view text, Cut cut, std::span<const std::size_t> pieces, bool pointed) {
        if (pointed) members = std::make_unique<PointerCutter>(Reader(MemoryReader(text, pieces)), rows_pointer(), options_for(cut));
        else records = std::make_unique<Cutter>(Reader(MemoryReader(text, pieces)), options_for(cut));
    }
    Next next(Record& record) { return records ? records->next(record) : members->next(record); }
    std::optional<std::string> key() const {
        if (!members || !members->key()) return std::nullopt;
        return std::string(*members->key());
    }
    CutStatus cut_batch(Batch& batch, const BatchLimits& limits) {
        return records ? tovak::records::cut_batch(*records, batch, limits) : tovak::records::cut_batch(*members, batch, limits);
    }
};

// What the caller learns of one record: where it is, and the parser's verdict on it.
struct Seen {
    std::uint64_t number = 0, offset = 0;
    std::string text;
    bool valid = true;
    std::size_t error_offset = 0;
    std::optional<std::string> key;

    bool operator==(const Seen&) const = default;
};

struct Job {
    Batch batch;
    CutStatus status = CutStatus::end;
    std::vector<Seen> seen;
};

// The workers' policy: parse every record of a batch; nothing to attach.
struct ParseWorkers {
    std::atomic<int> entered{0}, left{0};
    const OrderedPool<Job, ParseWorkers>* pool = nullptr;

    void enter(std::size_t) { entered.fetch_add(1, std::memory_order_relaxed); }
    void leave(std::size_t) { left.fetch_add(1, std::memory_order_relaxed); }
    void attach(std::size_t) {}
    void detach(std::size_t) {}
    void run(Job& job, std::size_t) {
        job.seen.clear();
        std::string scratch;
        tovak::json::CheckSink sink;
        for (const Record& record : job.batch.records) {
            if (pool != nullptr && pool->stopping()) return;
            const tovak::json::ParseOutcome outcome = tovak::json::parse(record.text, sink, scratch);
            const std::optional<std::string_view> key = job.batch.key(job.seen.size());
            job.seen.push_back(Seen{record.number, record.offset, std::string(record.text), outcome.ok(),
                                    outcome.ok() ? 0 : outcome.error.offset,
                                    key ? std::optional<std::string>(*key) : std::nullopt});
        }
    }
};

// The serial reading: every record up to the cutter's end or error, parsed on this thread.
std::vector<Seen> serial(std::string_view text, Cut cut, std::span<const std::size_t> pieces, bool pointed,
                         bool& cut_failed) {
    AnyCutter cutter(text, cut, pieces, pointed);
    std::vector<Seen> seen;
    Record record;
    std::string scratch;
    tovak::json::CheckSink sink;
    cut_failed = false;
    for (;;) {
        const Next next = cutter.next(record);
        if (next == Next::end) break;
        if (next == Next::error) {
            cut_failed = true;
            break;
        }
        const tovak::json::ParseOutcome outcome = tovak::json::parse(record.text, sink, scratch);
        seen.push_back(Seen{record.number, record.offset, std::string(record.text), outcome.ok(),
                            outcome.ok() ? 0 : outcome.error.offset, cutter.key()});
    }
    return seen;
}

// The same through the pool. `abandon_after` > 0: drop the pool after taking that many batches back.
// `helping`: the caller parses the oldest unstarted batch whenever the front one is not ready yet.
std::vector<Seen> parallel(std::string_view text, Cut cut, std::span<const std::size_t> pieces, bool pointed,
                           std::size_t threads, const BatchLimits& limits, bool& cut_failed,
                           std::size_t abandon_after = 0, bool helping = false) {
    AnyCutter cutter(text, cut, pieces, pointed);
    ParseWorkers workers;
    std::vector<Seen> seen;
    cut_failed = false;
    {
        OrderedPool<Job, ParseWorkers> pool(workers, threads, threads * 3);
        workers.pool = &pool;
        bool cutting = true;
        std::size_t taken = 0;
        for (;;) {
            while (cutting) {
                Job* job = pool.free_slot();
                if (job == nullptr) break;
                job->status = cutter.cut_batch(job->batch, limits);
                cutting = job->status == CutStatus::full;
                pool.submit();
            }
            if (pool.in_flight() == 0) break;
            Job* job = pool.front(std::chrono::milliseconds(0));
            while (helping && job == nullptr) {
                Job* claimed = pool.claim();
                if (claimed == nullptr) break;
                workers.run(*claimed, threads);
                pool.finish_claimed(claimed);
                job = pool.front(std::chrono::milliseconds(0));
            }
            while (job == nullptr && (job = pool.front(std::chrono::milliseconds(50))) == nullptr) {
            }
            seen.insert(seen.end(), job->seen.begin(), job->seen.end());
            if (job->status == CutStatus::error) cut_failed = true;
            pool.release_front();
            if (abandon_after != 0 && ++taken == abandon_after) break;
        }
        // The pool's destructor stops and joins whatever is still in flight.
    }
    if (workers.entered.load() != static_cast<int>(threads) || workers.left.load() != workers.entered.load()) {
        std::fprintf(stderr, "workers entered %d, left %d, expected %zu\n", workers.entered.load(),
                     workers.left.load(), threads);
        std::exit(1);
    }
    return seen;
}

std::string random_record(Random& random, bool broken) {
    static const char* const kValues[] = {"1", "-2.5e3", "\"a\\u00e9\"", "true", "null", "[]", "{}", "\"x,]y\""};
    std::string record = "{\"k\":[";
    const std::size_t items = random.below(6);
    for (std::size_t i = 0; i < items; ++i) {
        if (i) record += ',';
        record += random.pick(kValues);
    }
    record += "]}";
    if (broken) record.insert(random.below(record.size()), 1, random.percent(50) ? ',' : '}');
    return record;
}

std::string random_text(Random& random, Cut cut, std::size_t count, bool pointed) {
    if (pointed) {  // {"rows": {"k0": record, ...}}: the members are the records; keys repeat, some escaped
        std::string text = "{\"rows\": {";
        for (std::size_t i = 0; i < count; ++i) {
            if (i) text += random.percent(20) ? ",\n " : ",";
            text += "\"k";
            text += std::to_string(random.below(50));
            text += random.percent(10) ? "\\u00e9\": " : "\": ";
            text += random_record(random, random.below(2000) == 0);  // a broken member ends the reading
        }
        return text + "}}\n";
    }
    std::string text = cut == Cut::elements ? "[" : "";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) text += cut == Cut::elements ? (random.percent(20) ? ",\n " : ",") : "\n";
        text += random_record(random, random.percent(1));
    }
    text += cut == Cut::elements ? "]\n" : "\n";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20261208;
    Random random(seed);
    int failures = 0;
    std::size_t compared = 0;
    const std::size_t thread_counts[] = {1, 2, 3, 8, 64};
    for (int round = 0; round < 36; ++round) {
        const Cut cut = round % 3 == 1 ? Cut::elements : Cut::lines;
        const bool pointed = round % 3 == 2;
        const std::string text = random_text(random, pointed ? Cut::elements : cut, random.between(0, 3000), pointed);
        std::vector<std::size_t> pieces;
        if (random.percent(50)) pieces = {random.between(1, 5000), random.between(1, 70000)};
        BatchLimits limits;
        limits.bytes = random.between(1, 4096);
        limits.records = random.between(1, 64);
        bool serial_failed = false;
        const std::vector<Seen> expected = serial(text, pointed ? Cut::elements : cut, pieces, pointed, serial_failed);
        compared += expected.size();
        for (const std::size_t threads : thread_counts) {
            for (const bool helping : {false, true}) {
                bool failed = false;
                const std::vector<Seen> got = parallel(text, pointed ? Cut::elements : cut, pieces, pointed, threads,
                                                       limits, failed, 0, helping);
                if (got != expected || failed != serial_failed) {
                    std::fprintf(stderr, "seed %llu round %d (%s, %zu threads%s): %zu records, expected %zu\n",
                                 static_cast<unsigned long long>(seed), round, cut == Cut::lines ? "lines" : "elements",
                                 threads, helping ? ", caller helping" : "", got.size(), expected.size());
                    ++failures;
                }
                // Abandoned after the first batch: what was taken is the serial prefix, and the workers join.
                const std::vector<Seen> prefix =
                    parallel(text, pointed ? Cut::elements : cut, pieces, pointed, threads, limits, failed, 1, helping);
                if (prefix.size() > expected.size() || !std::equal(prefix.begin(), prefix.end(), expected.begin())) {
                    std::fprintf(stderr, "seed %llu round %d: abandoned pool gave records out of order\n",
                                 static_cast<unsigned long long>(seed), round);
                    ++failures;
                }
            }
        }
    }
    if (failures == 0) std::printf("parallel pool: ok (%zu records, each at 5 thread counts, helped or not)\n", compared);
    return failures == 0 ? 0 : 1;
}
