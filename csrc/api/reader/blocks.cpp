// split_blocks(source, blocksize, blocks, format=None, at=None): where the records of one big input fall
// when the input is cut into `blocks` byte ranges of `blocksize` bytes, so that readers running apart can
// each parse one block of whole records. A record belongs to the block that holds its first byte.
//
// It answers (kind, blocks, total):
//   ("lines", None, None)   JSONL: no scan is needed, a reader finds its lines from its own range.
//   ("whole", None, None)   one reader must read the input whole: compressed input (a stream cannot be
//                           entered in the middle), a single value, nothing at all, an object at `at`.
//   ("elements", table, None)   a top-level array, scanned by the element splitter (no parsing, no
//                           objects); table[k] is None (no element starts in block k) or (start, end,
//                           first): the byte offset in the file of the block's first element (0 for the
//                           block of the array's first element, whose reader reads from the file's start),
//                           the offset of the comma after its last element (None for the block of the
//                           array's last element, whose reader reads to the end of the file to check the
//                           array's end and what follows), and the number of elements before it.
//   ("pointed", table, total)   the array at `at`, found by the streaming validator (the whole input is
//                           validated on the way, and its errors raised here); (start, end, first) give
//                           the first element's first byte and the last element's end, and total counts
//                           the records. A reader wraps start..end in brackets.
// Offsets are those of the file, a byte-order mark included.
#include <memory>

#include "api/reader/mod.hpp"
#include "api/reader/structure.hpp"
#include "io/decompress.hpp"
#include "records/pointer_cutter.hpp"
#include "records/splitter.hpp"

namespace tovak::reader {

namespace {

const char* const kParams[] = {"source", "blocksize", "blocks", "format", "at"};
constexpr Signature kSignature{"split_blocks", kParams, 5};

constexpr std::size_t kScanChunk = std::size_t{1} << 20;

// The blocks' entries, filled as the elements' starts come in ascending order.
class BlockTable {
public:
    BlockTable(std::uint64_t blocksize, std::uint64_t blocks) : blocksize_(blocksize), entries_(blocks) {}

    // An element starts at `start`; the element before it ended at `previous_end`.
    void element(std::uint64_t start, std::uint64_t previous_end) {
        const std::uint64_t block = std::min<std::uint64_t>(start / blocksize_, entries_.size() - 1);
        if (elements_ == 0) first_block_ = block;
        if (elements_ == 0 || block != current_) {
            if (elements_ != 0) entries_[current_].end = previous_end;
            entries_[block] = Entry{true, start, std::nullopt, elements_};
            current_ = block;
        }
        ++elements_;
    }
    // The first element's block reads from the file's start.
    void from_file_start() {
        if (elements_ != 0) entries_[first_block_].start = 0;
    }
    void close(std::optional<std::uint64_t> last_end) {
        if (elements_ != 0) entries_[current_].end = last_end;
    }
    std::uint64_t elements() const noexcept { return elements_; }

    Result<PyRef> to_python() const {
        Result<PyRef> list = checked(PyList_New(static_cast<Py_ssize_t>(entries_.size())));
        if (!list) return list;
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            const Entry& entry = entries_[k];
            PyObject* item;
            if (!entry.used) {
                item = Py_NewRef(Py_None);
            } else if (entry.end) {
                item = Py_BuildValue("(KKK)", static_cast<unsigned long long>(entry.start),
                                     static_cast<unsigned long long>(*entry.end),
                                     static_cast<unsigned long long>(entry.first));
            } else {
                item = Py_BuildValue("(KOK)", static_cast<unsigned long long>(entry.start), Py_None,
                                     static_cast<unsigned long long>(entry.first));
            }
            if (item == nullptr) return Failure::from_python();
            PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(k), item);
        }
        return list;
    }

private:
    struct Entry {
        bool used = false;
        std::uint64_t start = 0;
        std::optional<std::uint64_t> end;
        std::uint64_t first = 0;
    };
    std::uint64_t blocksize_;
    std::vector<Entry> entries_;
    std::uint64_t current_ = 0;      // the block of the last element
    std::uint64_t first_block_ = 0;  // the block of the first element
    std::uint64_t elements_ = 0;
};

Result<PyRef> answer(const char* kind, PyRef table, std::optional<std::uint64_t> total) {
    PyRef count = total ? PyRef::steal(PyLong_FromUnsignedLongLong(*total)) : PyRef::borrow(Py_None);
    if (!count) return Failure::from_python();
    return checked(Py_BuildValue("(sOO)", kind, table ? table.get() : Py_None, count.get()));
}

records::RecordError read_error(io::IoError&& io, std::uint64_t at) {
    records::RecordError error;
    error.kind = records::ErrorKind::io;
    error.record_kind = records::RecordKind::document;
    error.offset = at;
    error.io = std::move(io);
    return error;
}

// The top-level array's elements by the splitter: a comma at depth 1 ends one element and starts the next.
Result<PyRef> split_elements(Source& input, BlockTable& table) {
    Reader reader{io::ByteSourceRef(input.bytes())};
    records::InterruptClock clock(input.record_options(records::Cut::elements));
    std::unique_ptr<char[]> chunk(new char[kScanChunk]);
    records::ElementSplitter splitter;
    records::ChunkSplit split;
    const std::uint64_t base = input.skipped();  // the splitter's offsets start after a byte-order mark
    std::uint64_t offset = 0;
    bool opened = false;
    for (;;) {
        if (clock.interrupted()) return Failure::from_python();
        io::ReadOutcome got = clock.read([&] { return reader.read(chunk.get(), kScanChunk); });
        if (clock.stopped()) return Failure::from_python();
        if (!got.ok()) return input.failure(read_error(std::move(*got.error), base + offset));
        if (got.bytes == 0) break;
        clock.add(got.bytes);
        splitter.split(chunk.get(), got.bytes, split);
        if (splitter.started() && !splitter.in_array()) return answer("whole", PyRef(), std::nullopt);
        if (splitter.in_array() && !opened) {
            opened = true;
            table.element(base + offset + split.begin, 0);
        }
        for (std::size_t k = 0; k < split.ends.size(); ++k) {
            const std::uint64_t at = base + offset + split.ends[k];
            if (split.closed && k + 1 == split.ends.size()) break;  // the closing bracket starts nothing
            table.element(at + 1, at);
        }
        if (split.closed) break;
        offset += got.bytes;
    }
    if (!opened) return answer("whole", PyRef(), std::nullopt);
    table.close(std::nullopt);
    table.from_file_start();
    Result<PyRef> entries = table.to_python();
    if (!entries) return entries;
    return answer("elements", std::move(entries).value(), std::nullopt);
}

// The elements of the array at the pointer, by the validator.
Result<PyRef> point_elements(Source& input, const json::Pointer& pointer, BlockTable& table) {
    records::PointerCutter<Reader, json::PythonRules> cutter(Reader{io::ByteSourceRef(input.bytes())}, &pointer,
                                                             input.record_options(records::Cut::elements));
    const std::uint64_t base = input.skipped();
    std::uint64_t previous_end = 0;
    records::Record record;
    for (;;) {
        const records::Next next = cutter.next(record);
        if (next == records::Next::end) break;
        if (next == records::Next::error) {
            const records::RecordError& error = cutter.error();
            if (error.kind == records::ErrorKind::missing)
                return input.pointer_failure(records::describe_miss(pointer, cutter.miss()), error);
            if (PyErr_Occurred()) return Failure::from_python();
            return input.failure(error);
        }
        if (cutter.key()) return answer("whole", PyRef(), std::nullopt);  // an object's members: read whole
        table.element(base + record.offset, previous_end);
        previous_end = base + record.offset + record.text.size();
    }
    table.close(previous_end);
    Result<PyRef> entries = table.to_python();
    if (!entries) return entries;
    return answer("pointed", std::move(entries).value(), table.elements());
}

PyObject* split_blocks_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<PyRef> {
        Result<BoundArgs> bound = bind_arguments(kSignature, args, nargs, kwnames);
        if (!bound) return std::move(bound).failure();
        if (bound->slot[1] == nullptr || bound->slot[2] == nullptr)
            return Failure(PyExc_TypeError, "split_blocks() needs source, blocksize and blocks");
        Result<std::uint64_t> blocksize = count_argument(bound->slot[1], "blocksize");
        if (!blocksize) return std::move(blocksize).failure();
        Result<std::uint64_t> blocks = count_argument(bound->slot[2], "blocks");
        if (!blocks) return std::move(blocks).failure();
        if (*blocksize == 0 || *blocks == 0) return Failure(PyExc_ValueError, "blocksize and blocks must be positive");
        Result<StreamOptions> options = stream_options(bound->slot[4], nullptr, nullptr);
        if (!options) return std::move(options).failure();
        Result<std::unique_ptr<Source>> source = Source::open(bound->slot[0], bound->slot[3]);
        if (!source) return std::move(source).failure();
        Source& input = *source.value();
        if (input.compression() != io::Compression::none) return answer("whole", PyRef(), std::nullopt);
        if (input.format() == io::Format::jsonl) return answer("lines", PyRef(), std::nullopt);
        BlockTable table(*blocksize, *blocks);
        if (options->at) return point_elements(input, *options->at, table);
        return split_elements(input, table);
    });
}

}  // namespace

PyMethodDef split_blocks_method = fastcall_method(
    "split_blocks", split_blocks_entry,
    "split_blocks(source, blocksize, blocks, format=None, at=None)\n--\n\n"
    "Where the records of an input fall in blocks of `blocksize` bytes: a boundary scan that builds no "
    "records (see tovak.dask).");

}  // namespace tovak::reader
