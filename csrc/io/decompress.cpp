// The four decompressors share one driver (StreamDecoder): input buffering, member boundaries, trailing
// data, truncation and sticky errors. Each codec supplies only its step, its reset and its magic bytes.
#include "io/decompress.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "io/source.hpp"
#include "io/zstd_api.hpp"

namespace tovak::io {

namespace {

IoError damaged(std::string text) { return IoError{0, nullptr, std::move(text), IoError::Kind::damaged}; }

bool starts_with(std::string_view bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && bytes.substr(0, prefix.size()) == prefix;
}

constexpr std::string_view kGzipMagic{"\x1f\x8b\x08", 3};  // the ID bytes and CM = 8 (deflate), the only method
constexpr std::string_view kZstdMagic{"\x28\xb5\x2f\xfd", 4};
constexpr std::string_view kSkippableMagicTail{"\x2a\x4d\x18", 3};  // after a first byte 0x50..0x5F
constexpr std::string_view kBzip2Magic{"BZh", 3};                    // then the block size '1'..'9'
constexpr std::string_view kXzMagic{"\xfd" "7zXZ\x00", 6};

bool zstd_frame_starts(std::string_view b) {
    if (starts_with(b, kZstdMagic)) return true;
    return b.size() >= 4 && (static_cast<unsigned char>(b[0]) & 0xF0) == 0x50 && b.substr(1, 3) == kSkippableMagicTail;
}
bool bzip2_stream_starts(std::string_view b) { return starts_with(b, kBzip2Magic) && b.size() >= 4 && b[3] >= '1' && b[3] <= '9'; }

// ---------------------------------------------------------------------------------------------------
// The driver

// What one codec step did.
struct Step {
    std::size_t consumed = 0, produced = 0;
    bool member_ended = false;
    std::optional<IoError> error;
};

class StreamDecoder : public ByteSource {
public:
    StreamDecoder(std::unique_ptr<ByteSource> inner, const char* name, const char* member_word)
        : inner_(std::move(inner)), name_(name), member_word_(member_word), input_(new char[kInputSize]) {}

    ReadOutcome read(char* dest, std::size_t n) final {
        if (failure_) return ReadOutcome{0, failure_};
        if (ended_ || n == 0) return ReadOutcome{0, std::nullopt};
        std::size_t produced = 0;
        std::optional<IoError> error = decode(dest, n, produced);
        if (error) {
            failure_ = std::move(error);
            // The bytes before the damage go out first; the error comes with the next read.
            if (produced == 0) return ReadOutcome{0, failure_};
        }
        return ReadOutcome{produced, std::nullopt};
    }

    std::optional<std::uint64_t> stored_size() const final { return inner_->stored_size(); }
    std::uint64_t stored_bytes_read() const final { return inner_->stored_bytes_read() - (input_end_ - input_pos_); }

protected:
    // Prepares the codec for a member, stream or frame (the first, and each after one ended).
    virtual std::optional<IoError> start_member() = 0;
    // Decodes from `in` into `out` once.
    virtual Step step(const char* in, std::size_t in_size, char* out, std::size_t out_size) = 0;
    // Whether `head` (up to kLookSize bytes, fewer only at the end of the input) opens another member.
    virtual bool member_starts(std::string_view head) const = 0;
    // xz: runs of zero bytes, in multiples of four, may stand between and after streams.
    virtual bool zero_padding_allowed() const { return false; }

    static constexpr std::size_t kLookSize = kMagicSize;

private:
    static constexpr std::size_t kInputSize = 128 * 1024;  // at least ZSTD_DStreamInSize(): one zstd block

    // Decodes into dest until it is full, the input ends, or some output is ready and more would need
    // another read of the inner source. The inner source is read only while no output is ready: a read
    // may block (a pipe), and its error must go out at once, not after bytes (a pending Python exception
    // cannot wait while the caller parses).
    std::optional<IoError> decode(char* dest, std::size_t n, std::size_t& produced) {
        if (!started_) {
            started_ = true;
            if (auto error = start_member()) return error;
        }
        while (produced < n) {
            if (member_ended_) {
                if (produced != 0 && input_end_ - input_pos_ < kLookSize) break;
                auto next = next_member();
                if (!next.ok()) return std::move(next.error());
                if (!next.value()) {
                    ended_ = true;
                    break;
                }
                member_ended_ = false;
                if (auto error = start_member()) return error;
            }
            Step done = step(input_.get() + input_pos_, input_end_ - input_pos_, dest + produced, n - produced);
            input_pos_ += done.consumed;
            produced += done.produced;
            if (done.error) return done.error;
            if (done.member_ended) {
                member_ended_ = true;
                continue;
            }
            if (done.consumed != 0 || done.produced != 0) continue;
            // No progress: the codec has used all input it was given.
            if (produced != 0) break;
            auto more = refill(1);
            if (!more.ok()) return std::move(more.error());
            if (!more.value())
                return damaged("truncated " + std::string(name_) + " stream: the input ends inside a " + member_word_);
        }
        return std::nullopt;
    }

    // Reads until at least `want` bytes are buffered; false when the input ended before any extra byte.
    IoResult<bool> refill(std::size_t want) {
        if (input_pos_ == input_end_) input_pos_ = input_end_ = 0;
        if (input_pos_ != 0 && input_pos_ + want > kInputSize) {
            std::memmove(input_.get(), input_.get() + input_pos_, input_end_ - input_pos_);
            input_end_ -= input_pos_;
            input_pos_ = 0;
        }
        bool any = false;
        while (input_end_ - input_pos_ < want && !inner_ended_) {
            ReadOutcome got = inner_->read(input_.get() + input_end_, kInputSize - input_end_);
            if (!got.ok()) return std::move(*got.error);
            if (got.bytes == 0) inner_ended_ = true;
            input_end_ += got.bytes;
            any |= got.bytes != 0;
        }
        return any;
    }

    // After a member ended: true when another one follows, false at the clean end of the input.
    IoResult<bool> next_member() {
        std::uint64_t zeros = 0;
        for (;;) {
            if (input_end_ - input_pos_ < kLookSize) {
                auto more = refill(kLookSize);
                if (!more.ok()) return std::move(more.error());
            }
            if (input_pos_ == input_end_) {
                if (zeros % 4 == 0) return false;
                break;
            }
            if (!zero_padding_allowed() || input_[input_pos_] != 0) break;
            while (input_pos_ < input_end_ && input_[input_pos_] == 0) {
                ++input_pos_;
                ++zeros;
            }
        }
        if (input_pos_ != input_end_ && zeros % 4 == 0 &&
            member_starts(std::string_view(input_.get() + input_pos_, input_end_ - input_pos_)))
            return true;
        return damaged("trailing data after the " + std::string(name_) + " " + member_word_);
    }

    std::unique_ptr<ByteSource> inner_;
    const char* name_;
    const char* member_word_;
    std::unique_ptr<char[]> input_;
    std::size_t input_pos_ = 0, input_end_ = 0;
    bool inner_ended_ = false;
    bool started_ = false, member_ended_ = false, ended_ = false;
    std::optional<IoError> failure_;
};

IoError out_of_memory() { return IoError{ENOMEM}; }

// ---------------------------------------------------------------------------------------------------
// gzip (zlib's inflate with the gzip wrapper)

class GzipDecoder final : public StreamDecoder {
public:
    using StreamDecoder::StreamDecoder;
    ~GzipDecoder() override {
        if (initialised_) inflateEnd(&stream_);
    }

private:
    std::optional<IoError> start_member() override {
        if (initialised_) {
            inflateReset(&stream_);
            return std::nullopt;
        }
        stream_ = z_stream{};
        const int status = inflateInit2(&stream_, 15 + 16);  // the largest window; gzip wrapper only
        if (status == Z_MEM_ERROR) return out_of_memory();
        if (status != Z_OK) return IoError{0, nullptr, "zlib could not start: " + std::to_string(status)};
        initialised_ = true;
        return std::nullopt;
    }

    Step step(const char* in, std::size_t in_size, char* out, std::size_t out_size) override {
        const auto in_given = static_cast<uInt>(std::min<std::size_t>(in_size, UINT_MAX));
        const auto out_given = static_cast<uInt>(std::min<std::size_t>(out_size, UINT_MAX));
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
        stream_.avail_in = in_given;
        stream_.next_out = reinterpret_cast<Bytef*>(out);
        stream_.avail_out = out_given;
        const int status = inflate(&stream_, Z_NO_FLUSH);
        Step done{.consumed = in_given - stream_.avail_in, .produced = out_given - stream_.avail_out};
        if (status == Z_STREAM_END) done.member_ended = true;
        else if (status == Z_MEM_ERROR) done.error = out_of_memory();
        else if (status == Z_NEED_DICT) done.error = damaged("corrupt gzip data (a preset dictionary is required)");
        else if (status != Z_OK && status != Z_BUF_ERROR) {
            const std::string message = stream_.msg != nullptr ? stream_.msg : "error " + std::to_string(status);
            done.error = message == "incorrect data check" || message == "incorrect length check"
                             ? damaged("gzip checksum mismatch (" + message + ")")
                             : damaged("corrupt gzip data (" + message + ")");
        }
        return done;
    }

    bool member_starts(std::string_view head) const override { return starts_with(head, kGzipMagic); }

    z_stream stream_{};
    bool initialised_ = false;
};

// ---------------------------------------------------------------------------------------------------
// zstd (frames follow one another in one context; skippable frames are skipped by libzstd)

class ZstdDecoder final : public StreamDecoder {
public:
    using StreamDecoder::StreamDecoder;
    ~ZstdDecoder() override { ZSTD_freeDCtx(context_); }

private:
    std::optional<IoError> start_member() override {
        if (context_ == nullptr && (context_ = ZSTD_createDCtx()) == nullptr) return out_of_memory();
        return std::nullopt;  // a context starts the next frame by itself once one ended
    }

    Step step(const char* in, std::size_t in_size, char* out, std::size_t out_size) override {
        ZSTD_inBuffer input{in, in_size, 0};
        ZSTD_outBuffer output{out, out_size, 0};
        const std::size_t status = ZSTD_decompressStream(context_, &output, &input);
        Step done{.consumed = input.pos, .produced = output.pos};
        if (ZSTD_isError(status)) done.error = damaged(std::string("corrupt zstd data (") + ZSTD_getErrorName(status) + ")");
        else if (status == 0) done.member_ended = true;  // a frame is complete and all of it handed out
        return done;
    }

    bool member_starts(std::string_view head) const override { return zstd_frame_starts(head); }

    ZSTD_DCtx* context_ = nullptr;
};

// ---------------------------------------------------------------------------------------------------
// bzip2

class Bzip2Decoder final : public StreamDecoder {
public:
    using StreamDecoder::StreamDecoder;
    ~Bzip2Decoder() override {
        if (initialised_) BZ2_bzDecompressEnd(&stream_);
    }

private:
    std::optional<IoError> start_member() override {
        if (initialised_) BZ2_bzDecompressEnd(&stream_);  // libbz2 has no reset
        initialised_ = false;
        stream_ = bz_stream{};
        const int status = BZ2_bzDecompressInit(&stream_, 0, 0);
        if (status == BZ_MEM_ERROR) return out_of_memory();
        if (status != BZ_OK) return IoError{0, nullptr, "libbz2 could not start: " + std::to_string(status)};
        initialised_ = true;
        return std::nullopt;
    }

    Step step(const char* in, std::size_t in_size, char* out, std::size_t out_size) override {
        const auto in_given = static_cast<unsigned>(std::min<std::size_t>(in_size, UINT_MAX));
        const auto out_given = static_cast<unsigned>(std::min<std::size_t>(out_size, UINT_MAX));
        stream_.next_in = const_cast<char*>(in);
        stream_.avail_in = in_given;
        stream_.next_out = out;
        stream_.avail_out = out_given;
        const int status = BZ2_bzDecompress(&stream_);
        Step done{.consumed = in_given - stream_.avail_in, .produced = out_given - stream_.avail_out};
        if (status == BZ_STREAM_END) done.member_ended = true;
        else if (status == BZ_MEM_ERROR) done.error = out_of_memory();
        else if (status == BZ_DATA_ERROR) done.error = damaged("corrupt bzip2 data (a damaged block or a checksum mismatch)");
        else if (status == BZ_DATA_ERROR_MAGIC) done.error = damaged("corrupt bzip2 data (a damaged stream header)");
        else if (status != BZ_OK) done.error = damaged("corrupt bzip2 data (error " + std::to_string(status) + ")");
        return done;
    }

    bool member_starts(std::string_view head) const override { return bzip2_stream_starts(head); }

    bz_stream stream_{};
    bool initialised_ = false;
};

// ---------------------------------------------------------------------------------------------------
// xz (one stream at a time, so that what follows a stream can be named; padding is handled above)

class XzDecoder final : public StreamDecoder {
public:
    using StreamDecoder::StreamDecoder;
    ~XzDecoder() override { lzma_end(&stream_); }

private:
    std::optional<IoError> start_member() override {
        // No memory limit, as the xz tool when decompressing: the stream's dictionary bounds it.
        const lzma_ret status = lzma_stream_decoder(&stream_, UINT64_MAX, 0);
        if (status == LZMA_MEM_ERROR) return out_of_memory();
        if (status != LZMA_OK) return IoError{0, nullptr, "liblzma could not start: " + std::to_string(status)};
        return std::nullopt;
    }

    Step step(const char* in, std::size_t in_size, char* out, std::size_t out_size) override {
        stream_.next_in = reinterpret_cast<const std::uint8_t*>(in);
        stream_.avail_in = in_size;
        stream_.next_out = reinterpret_cast<std::uint8_t*>(out);
        stream_.avail_out = out_size;
        const lzma_ret status = lzma_code(&stream_, LZMA_RUN);
        Step done{.consumed = in_size - stream_.avail_in, .produced = out_size - stream_.avail_out};
        switch (status) {
            case LZMA_OK:
            case LZMA_BUF_ERROR: break;  // no progress: more input is needed
            case LZMA_STREAM_END: done.member_ended = true; break;
            case LZMA_MEM_ERROR: done.error = out_of_memory(); break;
            case LZMA_FORMAT_ERROR: done.error = damaged("corrupt xz data (a damaged stream header)"); break;
            case LZMA_OPTIONS_ERROR: done.error = damaged("unsupported xz data (options this liblzma lacks)"); break;
            case LZMA_DATA_ERROR: done.error = damaged("corrupt xz data (damaged data or a checksum mismatch)"); break;
            default: done.error = damaged("corrupt xz data (error " + std::to_string(status) + ")"); break;
        }
        return done;
    }

    bool member_starts(std::string_view head) const override { return starts_with(head, kXzMagic); }
    bool zero_padding_allowed() const override { return true; }

    lzma_stream stream_ = LZMA_STREAM_INIT;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Detection and construction

Compression detect_compression(std::string_view head) noexcept {
    if (starts_with(head, kGzipMagic)) return Compression::gzip;
    if (zstd_frame_starts(head)) return Compression::zstd;
    if (bzip2_stream_starts(head)) return Compression::bzip2;
    if (starts_with(head, kXzMagic)) return Compression::xz;
    return Compression::none;
}

bool may_start_magic(std::string_view head) noexcept {
    auto prefix_of = [&](std::string_view magic) { return head.size() < magic.size() && magic.substr(0, head.size()) == head; };
    if (prefix_of(kGzipMagic) || prefix_of(kZstdMagic) || prefix_of(kXzMagic)) return true;
    if (head.size() < 4 && starts_with("BZh1", head.substr(0, std::min<std::size_t>(head.size(), 3)))) return true;
    if (head.empty()) return true;
    return (static_cast<unsigned char>(head[0]) & 0xF0) == 0x50 && head.size() < 4 &&
           kSkippableMagicTail.substr(0, head.size() - 1) == head.substr(1);
}

const char* compression_name(Compression compression) noexcept {
    switch (compression) {
        case Compression::gzip: return "gzip";
        case Compression::zstd: return "zstd";
        case Compression::bzip2: return "bzip2";
        case Compression::xz: return "xz";
        case Compression::none: break;
    }
    return "none";
}

std::string_view without_compression_suffix(std::string_view name) noexcept {
    static constexpr std::string_view kSuffixes[] = {".gz", ".gzip", ".zst", ".zstd", ".bz2", ".xz"};
    for (std::string_view suffix : kSuffixes) {
        if (name.size() <= suffix.size()) continue;
        const std::string_view tail = name.substr(name.size() - suffix.size());
        const bool same = std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
            return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
        });
        if (same) return name.substr(0, name.size() - suffix.size());
    }
    return name;
}

std::unique_ptr<ByteSource> decompressing(Compression compression, std::unique_ptr<ByteSource> compressed) {
    switch (compression) {
        case Compression::gzip: return std::make_unique<GzipDecoder>(std::move(compressed), "gzip", "member");
        case Compression::zstd: return std::make_unique<ZstdDecoder>(std::move(compressed), "zstd", "frame");
        case Compression::bzip2: return std::make_unique<Bzip2Decoder>(std::move(compressed), "bzip2", "stream");
        case Compression::xz: return std::make_unique<XzDecoder>(std::move(compressed), "xz", "stream");
        case Compression::none: break;
    }
    return compressed;
}

}  // namespace tovak::io
