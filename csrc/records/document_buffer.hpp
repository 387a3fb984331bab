// The buffer a document is read into, and the spare one each thread keeps between documents.
//
// A load of a whole document reads it into one buffer. Freshly allocated, that buffer's pages are mapped
// (and faulted in) again on every load, which for documents of a few megabytes costs as much as a third
// of the parse. So the buffer a finished document leaves goes back to the releasing thread's spare when it
// is larger than the spare and within kSpareDocumentBytes, and the next document on that thread that fits
// it starts there. A thread keeps at most one spare; a huge document leaves nothing pinned, and its buffer,
// read into once front to back, asks for huge pages where the system grants them on request.
#pragma once

#include <cstddef>
#include <memory>

namespace tovak::records {

class DocumentBuffer {
public:
    static constexpr std::size_t kSpareDocumentBytes = std::size_t{8} << 20;

    DocumentBuffer() = default;
    DocumentBuffer(const DocumentBuffer&) = delete;
    DocumentBuffer& operator=(const DocumentBuffer&) = delete;
    ~DocumentBuffer() { release(); }

    // A buffer of at least `capacity` bytes: the thread's spare when it is large enough, else a fresh one
    // (the spare stays for a later document). The bytes past `keep` are not preserved; the first `keep`
    // are when the buffer grows.
    void reserve(std::size_t capacity, std::size_t keep = 0);

    char* data() const noexcept { return bytes_.get(); }
    std::size_t capacity() const noexcept { return capacity_; }
    explicit operator bool() const noexcept { return bytes_ != nullptr; }

private:
    void release() noexcept;  // to the thread's spare, or freed

    std::unique_ptr<char[]> bytes_;
    std::size_t capacity_ = 0;
};

}  // namespace tovak::records
