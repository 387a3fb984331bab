#include "records/document_buffer.hpp"

#include <cstring>
#include <utility>

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

}  // namespace

DocumentBuffer::DocumentBuffer(DocumentBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)), capacity_(std::exchange(other.capacity_, 0)) {}

DocumentBuffer& DocumentBuffer::operator=(DocumentBuffer&& other) noexcept {
    if (this != &other) {
        release();
        bytes_ = std::move(other.bytes_);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

DocumentBuffer::~DocumentBuffer() { release(); }

void DocumentBuffer::reserve(std::size_t capacity, std::size_t keep) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> larger;
    std::size_t larger_capacity = capacity;
    if (!spare_gone && spare.capacity >= capacity) {
        larger = std::move(spare.bytes);
        larger_capacity = std::exchange(spare.capacity, 0);
    } else {
        larger.reset(new char[capacity]);
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
