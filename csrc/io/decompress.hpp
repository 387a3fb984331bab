// Streaming decompression over any byte source: gzip (zlib), zstd (libzstd), bzip2 (libbz2) and xz
// (liblzma), chosen by the magic bytes at the start of the input, never by a file name.
//
// Contract: a decompressor is itself a ByteSource of the decompressed bytes. Concatenated members
// (gzip), frames (zstd, including skippable frames) and streams (bzip2, xz, with xz stream padding) are
// read on to the end; anything else after a complete one is an error ("trailing data after the gzip
// member"). A truncated, corrupt or checksum-failing stream is an IoError of Kind::damaged whose text
// names the compression and the damage; errors of the inner source pass through unchanged and at once
// (the inner source is read only when no decompressed byte is waiting to go out). After an
// error every later read returns the same error. Memory stays bounded by the codec's window (zstd
// refuses windows above 128 MiB, its default) plus one input buffer, whatever the output size: output
// goes straight into the caller's buffer, so a decompression bomb streams like any other input.
// stored_bytes_read() counts the compressed bytes consumed.
//
// Thread rule: one thread at a time, like any source; no Python.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "io/read.hpp"

namespace tovak::io {

enum class Compression : std::uint8_t { none, gzip, zstd, bzip2, xz };

// How many leading bytes detect_compression looks at.
inline constexpr std::size_t kMagicSize = 6;

// The compression whose magic bytes start `head` (the first kMagicSize bytes, or the whole input when it
// is shorter). Plain JSON can start with none of them.
Compression detect_compression(std::string_view head) noexcept;

// Whether `head` is a proper prefix of some magic bytes, so that a longer look might still detect one.
// Lets detection on a pipe stop at the first byte for JSON instead of waiting for kMagicSize bytes.
bool may_start_magic(std::string_view head) noexcept;

// "gzip", "zstd", "bzip2", "xz", or "none".
const char* compression_name(Compression compression) noexcept;

// `name` without a final compression suffix (.gz, .gzip, .zst, .zstd, .bz2, .xz, in any case): what is
// left tells JSON from JSONL by name. Only names are trimmed; which decompressor runs is told by content.
std::string_view without_compression_suffix(std::string_view name) noexcept;

// A source of the decompressed bytes of `compressed`, which must start with the magic bytes of
// `compression` (not none). Never fails to construct; a codec that cannot start reports it at the
// first read.
std::unique_ptr<ByteSource> decompressing(Compression compression, std::unique_ptr<ByteSource> compressed);

}  // namespace tovak::io
