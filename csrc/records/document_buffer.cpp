#include "records/document_buffer.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tovak::records {

namespace {

// Set when the thread's spare has been destroyed (the thread is exiting): a buffer released after that is
// freed. Trivially destructible, so it stays readable to the very end of the thread.
thread_local bool spare_gone = false;

struct SpareBuffer {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
    ~SpareBuffer() { spare_gone = true; }
};

thread_local SpareBuffer spare;

// A buffer larger than any kept is read into once, front to back: asking for huge pages where the system
// grants them on request spares the fault taken for each 4 KiB page of it.
std::unique_ptr<char[]> fresh_buffer(std::size_t capacity) {
    std::unique_ptr<char[]> bytes(new char[capacity]);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
    if (capacity > DocumentBuffer::kSpareDocumentBytes) {
        const auto start = reinterpret_cast<std::uintptr_t>(bytes.get());
        const std::uintptr_t first = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
        const std::uintptr_t last = (start + capacity) & ~(kHugePageBytes - 1);
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
    }
#endif
    return bytes;
}

}  // namespace

void DocumentBuffer::reserve(std::size_t capacity, std::size_t keep) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> larger;
    std::size_t larger_capacity = capacity;
    if (!spare_gone && spare.capacity >= capacity) {
        larger = std::move(spare.bytes);
        larger_capacity = std::exchange(spare.capacity, 0);
    } else {
        larger = fresh_buffer(capacity);
    }
    if (keep > 0) std::memcpy(larger.get(), bytes_.get(), keep);
    release();
    bytes_ = std::move(larger);
    capacity_ = larger_capacity;
}

void DocumentBuffer::release() noexcept {
    if (!bytes_) return;
    if (!spare_gone && capacity_ <= kSpareDocumentBytes && capacity_ > spare.capacity) {
        spare.bytes = std::move(bytes_);
        spare.capacity = capacity_;
    }
    bytes_.reset();
    capacity_ = 0;
}

}  // namespace tovak::records
