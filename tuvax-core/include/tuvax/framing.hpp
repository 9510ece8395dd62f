// The one statement of a document's framing: the header, the blocks and the
// trailer, read from byte sources and written to byte sinks. Every reader and
// writer of documents (the decoder and encoder, the file functions, the
// tools and the tests) goes through here.
#ifndef TUVAX_FRAMING_HPP
#define TUVAX_FRAMING_HPP

#include <algorithm>  // std::min
#include <bit>      // std::endian, std::byteswap
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <memory>   // std::unique_ptr
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tuvax/error.hpp"
#include "tuvax/limits.hpp"
#include "tuvax/varint.hpp"  // varint_size

namespace tuvax {

// ---- Layout ----
//
// header (8) | block* | trailer (19)
// header: magic "TUVAXv1" | reserved byte 0
// block: type (1) | varint payload length L | compression (1) | XXH64(payload) LE (8) | payload (L)
// trailer: a block of type 0xFF whose 8-byte payload is the XXH64 of every
// byte before it (the file hash)

inline constexpr std::string_view magic = "TUVAXv1";
inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t checksum_size = 8;
inline constexpr std::size_t trailer_payload_size = 8;
inline constexpr std::size_t trailer_checksum_at = 3;  // after type, length 8, compression 0
inline constexpr std::size_t trailer_payload_at = trailer_checksum_at + checksum_size;
inline constexpr std::size_t trailer_size = trailer_payload_at + trailer_payload_size;  // 19
inline constexpr std::size_t empty_document_size = header_size + trailer_size;          // 27

// The framing before a block's payload of `payload_size` bytes, and its most.
constexpr std::size_t block_framing_size(std::uint64_t payload_size) noexcept {
  return 2 + varint_size(payload_size) + checksum_size;
}
inline constexpr std::size_t max_block_framing = 2 + max_varint_len + checksum_size;

enum class BlockType : std::uint8_t { Data = 0x01, Reserved2 = 0x02, Reserved3 = 0x03, StringDict = 0x04, Trailer = 0xFF };

enum class Compression : std::uint8_t { None = 0, Zstd = 1, Snappy = 2, Lz4 = 3 };

// XXH64 with seed 0 over `bytes`: the format's only hash.
std::uint64_t xxh64(std::span<const std::uint8_t> bytes) noexcept;

// The little-endian 64-bit integer at p (unaligned).
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}
void append_le64(std::uint64_t v, std::vector<std::uint8_t>& out);

// XXH64 (seed 0) of bytes given in pieces.
class Xxh64Stream {
 public:
  Xxh64Stream() noexcept;
  void update(std::span<const std::uint8_t> bytes) noexcept;
  std::uint64_t digest() const noexcept;

 private:
  alignas(8) unsigned char state_[96];  // the library's state, kept out of this header
};

// Appends the magic and the reserved byte 0.
void write_header(std::vector<std::uint8_t>& out);
// Appends one block with compression code 0 and the checksum of `payload`.
void write_block(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
// Appends the same block's framing only: everything before its payload.
void write_block_header(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
// Writes the trailer into the last trailer_size bytes of `document`, with
// the hash of every byte before them.
void write_trailer_at_end(std::span<std::uint8_t> document) noexcept;
// Copies `pieces` one after another into `out` and ends it with the trailer,
// whose hash covers them all; out.size() must be their total + trailer_size.
// Each stretch is hashed right after it is copied, while it is in cache.
// `copied`, if given, is told (with `context`) each time the first n bytes
// of pieces[i] are in `out`, so that a caller may give their memory back.
void assemble_document(std::span<const std::span<const std::uint8_t>> pieces, std::span<std::uint8_t> out,
                       void (*copied)(void* context, std::size_t i, std::size_t n) noexcept = nullptr,
                       void* context = nullptr) noexcept;

// ---- Blocking calls and signals ----

// Told around every system call that may block (open, read, write, fsync),
// and asked when one is interrupted by a signal (EINTR): enter() false
// skips the call and retry() false gives up, the operation then failing
// with Io(EINTR); retry() true tries the call again. The Python layer lets
// other threads run while a call blocks, and runs the interpreter's signal
// handlers in enter() (a signal that came just before the call must not be
// slept through) and in retry().
class Blocking {
 public:
  [[nodiscard]] virtual bool enter() { return true; }
  virtual void leave() noexcept {}
  virtual bool retry() { return true; }

 protected:
  ~Blocking() = default;
};

// Blocks the calling thread, and retries every interrupted call.
inline Blocking& plain_blocking() noexcept {
  struct Plain final : Blocking {};
  static Plain plain;
  return plain;
}

// ---- Byte sources ----

// Bytes of a document, addressed by their offset from its first byte. A
// reader asks only for what the framing verified so far says it needs, so a
// source never reads further than that: not past a forged length, not past
// the trailer.
class ByteSource {
 public:
  // Makes bytes [pos, pos + n) readable, and returns how many of them exist:
  // fewer than n only where the input ends. Io(errno) when reading fails.
  [[nodiscard]] virtual Result<std::size_t> fill(std::uint64_t pos, std::size_t n) = 0;
  // The byte at `pos`, which a fill() since the last release() covered.
  virtual const std::uint8_t* at(std::uint64_t pos) const noexcept = 0;
  // Bytes before `pos` will not be asked for again.
  virtual void release(std::uint64_t pos) noexcept = 0;

 protected:
  ~ByteSource() = default;
};

// A document in memory, read in place.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  Result<std::size_t> fill(std::uint64_t pos, std::size_t n) override {
    return pos >= bytes_.size() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes_.size() - pos));
  }
  const std::uint8_t* at(std::uint64_t pos) const noexcept override { return bytes_.data() + pos; }
  void release(std::uint64_t) noexcept override {}

 private:
  std::span<const std::uint8_t> bytes_;
};

// Reads from a descriptor or anything else that hands out bytes in order,
// holding only what has not been released: one block at a time. Reads ask
// for exactly the bytes wanted, so whatever follows a document stays unread.
class StreamSource : public ByteSource {
 public:
  StreamSource() = default;
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  Result<std::size_t> fill(std::uint64_t pos, std::size_t n) final;
  const std::uint8_t* at(std::uint64_t pos) const noexcept final { return buf_.get() + (pos - base_); }
  void release(std::uint64_t pos) noexcept final;

  // Bytes taken from the input so far.
  std::uint64_t consumed() const noexcept { return base_ + have_; }

 protected:
  ~StreamSource() = default;
  // Reads at most `n` bytes into `out`: how many (0 at the end), or Io.
  [[nodiscard]] virtual Result<std::size_t> read_some(std::uint8_t* out, std::size_t n) = 0;

 private:
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t capacity_ = 0;
  std::uint64_t base_ = 0;  // the offset of buf_[0]
  std::size_t have_ = 0;
  bool eof_ = false;
};

// A file descriptor, read as far as the framing asks.
class FdSource final : public StreamSource {
 public:
  FdSource(int fd, Blocking& blocking) noexcept : fd_(fd), blocking_(blocking) {}

 private:
  Result<std::size_t> read_some(std::uint8_t* out, std::size_t n) override;
  int fd_;
  Blocking& blocking_;
};

// ---- Reading blocks ----

// One block whose framing and checksum verified. `payload` stays readable
// until the next block is read.
struct Block {
  BlockType type;
  std::uint8_t compression;
  std::uint64_t index;           // 0 for the first block after the header
  std::uint64_t offset;          // of its type byte
  std::uint64_t payload_offset;  // of its first payload byte
  std::span<const std::uint8_t> payload;
};

// Walks the framing of one document from a source: the header, then one
// verified block per call, up to and including the trailer, whose checksum
// and file hash it verifies. Every framing check lives here, in this order:
// header length and magic; block type; payload length (a varint, at most
// max_block_size); compression code; checksum field; payload; then for a
// compressed block of types 1 to 3 its declared size and the decompression
// error, for any other the checksum. The first error ends the reading, and is
// returned again by every later call; it carries the index and offset of the
// block it happened in.
class BlockReader {
 public:
  BlockReader(ByteSource& source, const Limits& limits) noexcept : source_(source), limits_(limits) {}

  [[nodiscard]] Result<Block> next();
  bool finished() const noexcept { return finished_; }
  // The offset just past the trailer, once it verified.
  std::uint64_t end() const noexcept { return pos_; }
  // The index and offset of the block being read or last read.
  std::uint64_t block_index() const noexcept { return index_; }
  std::uint64_t block_offset() const noexcept { return block_at_; }
  std::uint8_t reserved_byte() const noexcept { return reserved_; }

 private:
  [[nodiscard]] Result<Block> read_block();
  [[nodiscard]] Result<void> read_header();
  [[nodiscard]] Result<Block> read_trailer();
  [[nodiscard]] Result<std::uint64_t> read_varint_at(std::uint64_t pos, std::uint64_t& after);
  // Takes bytes [from, to) into the running file hash.
  void hash_through(std::uint64_t to) noexcept;
  TuvaxError located(TuvaxError e) const;

  ByteSource& source_;
  Limits limits_;
  std::uint64_t pos_ = 0;
  std::uint64_t hashed_ = 0;
  std::uint64_t index_ = 0;
  std::uint64_t block_at_ = 0;
  bool started_ = false;
  bool header_read_ = false;
  bool finished_ = false;
  std::uint8_t reserved_ = 0;
  std::optional<TuvaxError> failure_;
  Xxh64Stream hash_;  // of every byte before the trailer
};

// ---- Byte sinks and writing blocks ----

// Where a document's bytes go, in order.
class ByteSink {
 public:
  // All of `bytes`, or Io(errno).
  [[nodiscard]] virtual Result<void> write(std::span<const std::uint8_t> bytes) = 0;
  // Takes back everything after the first `size` bytes written, so that a
  // write that failed part-way may be made again; false where what the sink
  // was given has gone on (a pipe, a device, a caller's file object).
  [[nodiscard]] virtual bool truncate(std::uint64_t size) noexcept {
    (void)size;
    return false;
  }

 protected:
  ~ByteSink() = default;
};

class VectorSink final : public ByteSink {
 public:
  Result<void> write(std::span<const std::uint8_t> bytes) override {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return {};
  }
  bool truncate(std::uint64_t size) noexcept override {
    if (size > out.size()) return false;
    out.resize(static_cast<std::size_t>(size));
    return true;
  }
  std::vector<std::uint8_t> out;
};

// Writes to a file descriptor. `own_file`: the descriptor is a regular file
// of the writer's own, written from its start, which truncate() may cut
// back.
class FdSink final : public ByteSink {
 public:
  FdSink(int fd, Blocking& blocking, bool own_file = false) noexcept
      : fd_(fd), blocking_(blocking), own_file_(own_file) {}
  Result<void> write(std::span<const std::uint8_t> bytes) override;
  bool truncate(std::uint64_t size) noexcept override;

 private:
  int fd_;
  Blocking& blocking_;
  bool own_file_;
};

// Writes a document block by block to a sink, keeping the file hash as a
// running state, so that a block can leave memory as soon as it is written.
class BlockWriter {
 public:
  explicit BlockWriter(ByteSink& sink) noexcept : sink_(sink) {}
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  // The header, written before the first block (or by finish()).
  [[nodiscard]] Result<void> write_header();
  [[nodiscard]] Result<void> write_block(BlockType type, std::span<const std::uint8_t> payload);
  // The trailer: after it the document is complete.
  [[nodiscard]] Result<void> finish();
  std::uint64_t written() const noexcept { return written_; }

  // Where the document stands, to come back to.
  struct Mark {
    Xxh64Stream hash;
    std::uint64_t written;
    bool header_written;
  };
  Mark mark() const noexcept { return {hash_, written_, header_written_}; }
  // Takes the document back to `m`, the sink cut back with it, so that
  // blocks whose writing failed may be written again; false where the sink
  // cannot take bytes back (the document then stays as it is).
  [[nodiscard]] bool rewind(const Mark& m) noexcept;

 private:
  [[nodiscard]] Result<void> put(std::span<const std::uint8_t> bytes);
  ByteSink& sink_;
  Xxh64Stream hash_;
  std::uint64_t written_ = 0;
  bool header_written_ = false;
};

// ---- Files ----

// Replaces the file at `path` (bytes, as the file system takes them) with
// what `write` puts into the sink it is given, so that a failure at any point
// leaves the old contents whole: the bytes go to a new file in the same
// directory, are flushed to disk, and the new file is renamed over the old.
// A new file gets 0666 less the umask, an existing one keeps its mode (and
// its owner, where permitted). A symbolic link is followed and the file it
// names is replaced. An existing target that is not a regular file (a
// device, a FIFO) is written in place. A directory is EISDIR. Failures are
// Io(errno), or whatever `write` returned.
class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();  // abandons an uncommitted file: the target stays as it was

  // Creates the temporary file (or opens a device or FIFO for writing).
  [[nodiscard]] Result<void> open(const std::string& path, Blocking& blocking);
  ByteSink& sink() noexcept { return *sink_; }
  // Flushes to disk and renames over the target.
  [[nodiscard]] Result<void> commit();
  // Removes the temporary file; the target is untouched.
  void abandon() noexcept;

 private:
  int fd_ = -1;
  std::string target_;
  std::string temp_;  // empty when writing in place
  Blocking* blocking_ = nullptr;
  std::unique_ptr<FdSink> sink_;
};

// The whole of `document` into the file at `path`, replaced atomically.
[[nodiscard]] Result<void> replace_file(const std::string& path, std::span<const std::uint8_t> document,
                                        Blocking& blocking);

// An open file for reading, closed on destruction.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();
  // Io(EISDIR) for a directory.
  [[nodiscard]] Result<void> open(const std::string& path, Blocking& blocking);
  int fd() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace tuvax

#endif  // TUVAX_FRAMING_HPP
