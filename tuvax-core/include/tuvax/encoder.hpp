#ifndef TUVAX_ENCODER_HPP
#define TUVAX_ENCODER_HPP

#include <bit>  // std::bit_cast
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <new>      // std::bad_alloc
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "tuvax/detail/buffer.hpp"
#include "tuvax/detail/wire.hpp"
#include "tuvax/error.hpp"
#include "tuvax/framing.hpp"  // Compression
#include "tuvax/limits.hpp"
#include "tuvax/value.hpp"
#include "tuvax/varint.hpp"

namespace tuvax {

namespace detail {

// Copies n bytes. Most strings and keys are short, and a library call per
// copy costs more than the copy: up to 16 bytes move as two overlapping
// words that stay within both ranges.
inline void copy_bytes(std::uint8_t* dst, const void* src, std::size_t n) noexcept {
  const auto* s = static_cast<const std::uint8_t*>(src);
  if (n > 16) {
    std::memcpy(dst, s, n);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n > 0) {
    dst[0] = s[0];
    dst[n / 2] = s[n / 2];
    dst[n - 1] = s[n - 1];
  }
}

// The encoder's view of the core's output buffer: its tail written through
// a raw pointer after room() makes space without initialising it, so
// appends cost a compare and a copy. Allocation failure throws
// std::bad_alloc, as std::vector does.
//
// A buffer in lent memory keeps room in front of its bytes for what a
// document puts before a data block (the header and the block's framing),
// sized as it grows for the block it is likely to hold, so that the last
// block can be finished where it stands and the memory handed over as the
// document (fits(), frame() and take()). Grown large, it leaves the lent
// memory for a mapping of its own (see OutputBuffer).
class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  explicit ByteBuffer(BufferMemory* memory) noexcept : buf_(memory) {}
  ByteBuffer(ByteBuffer&& o) noexcept : buf_(std::move(o.buf_)), front_(std::exchange(o.front_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    if (this != &o) {
      buf_ = std::move(o.buf_);
      front_ = std::exchange(o.front_, 0);
    }
    return *this;
  }

  std::uint8_t* data() noexcept { return reinterpret_cast<std::uint8_t*>(buf_.data()) + front_; }
  const std::uint8_t* data() const noexcept { return reinterpret_cast<const std::uint8_t*>(buf_.data()) + front_; }
  std::size_t size() const noexcept { return buf_.size() - front_; }
  bool empty() const noexcept { return size() == 0; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data(), size()}; }

  // A pointer to at least `n` writable bytes past the end; advance() by what
  // was written.
  std::uint8_t* room(std::size_t n) {
    if (!buf_.has_room(n)) [[unlikely]] grow(n);
    return reinterpret_cast<std::uint8_t*>(buf_.end());
  }
  void advance(std::size_t n) noexcept { buf_.advance(n); }
  void truncate(std::size_t n) noexcept { buf_.truncate(front_ + n); }
  void clear() noexcept { buf_.truncate(front_); }
  void release() noexcept {  // frees the storage
    buf_.release();
    front_ = 0;
  }

  void push(std::uint8_t b) {
    *room(1) = b;
    advance(1);
  }
  void append(const void* p, std::size_t n) {
    copy_bytes(room(n), p, n);
    advance(n);
  }

  bool lent() const noexcept { return buf_.memory() != nullptr; }
  // Gives back the memory of the first `n` bytes, where a large buffer can
  // (OutputBuffer::discard()): they read as zero from then on.
  void discard(std::size_t n) noexcept { buf_.discard(front_ + n); }

  // Whether the memory holds `front` bytes, the bytes, and `back` more.
  bool fits(std::size_t front, std::size_t back) const noexcept { return front + size() + back <= buf_.capacity(); }
  // For lent memory that fits(front, back): puts exactly `front` bytes
  // before the bytes, moving them only if the room kept in front was not
  // that size, and returns the start of the memory.
  std::uint8_t* frame(std::size_t front) noexcept;
  // Hands the memory over to the caller, who frees it through the
  // BufferMemory; the buffer is left empty.
  std::uint8_t* take() noexcept {
    front_ = 0;
    return reinterpret_cast<std::uint8_t*>(buf_.take());
  }

 private:
  void grow(std::size_t n);
  // Moves the bytes so that `front` bytes stand before them (room allows).
  void move_front(std::size_t front) noexcept;

  OutputBuffer buf_;
  std::size_t front_ = 0;  // bytes kept before data(), in lent memory only
};

}  // namespace detail

// Writes a sequence of values as one binary document. Open until finish(),
// which consumes it. Not thread-safe; one user at a time.
//
// Every limit the decoder enforces is enforced here too, so what the encoder
// accepts always reads back: nesting depth, items per container, the length
// of one string or byte string, and the running total of string bytes that
// a decoder of the document would produce. A value that would take a data
// block past max_block_size closes the block and starts the next one (with
// its own string dictionary, as each dictionary serves one block); only a
// value too large for a block of its own is refused.
//
// Example:
//   tuvax::Encoder enc;
//   enc.enable_dedup();
//   if (auto r = enc.encode_value(v); !r) return r.error();
//   auto bytes = std::move(enc).finish();
class Encoder {
 public:
  class ValueWriter;

  Encoder();
  // An encoder that holds its documents to `limits` instead of the defaults
  // every decoder applies; a document within smaller limits reads back too.
  explicit Encoder(const Limits& limits);
  // An encoder whose data blocks grow in memory lent by `memory`, which
  // must outlive it, so that finish_in_place() can finish the document in
  // the last block's own memory instead of copying it out.
  Encoder(const Limits& limits, BufferMemory& memory);
  // An encoder that writes each data block to `out` as it closes, so that it
  // holds one open block, never the document: finish_stream() closes the
  // last block and writes the trailer. The bytes are those finish() would
  // return for the same values. A block (or trailer) that `out` fails to
  // take (Io) is taken back from it where it can be cut back (a file of the
  // writer's own), and stays: the value that closed it is refused, and the
  // next close of a block, or finish_stream(), writes it again. Where it
  // cannot be, nothing more is written: finish_stream() returns that error.
  Encoder(BlockWriter& out, const Limits& limits);
  Encoder(Encoder&&) noexcept = default;
  Encoder& operator=(Encoder&&) noexcept = default;

  // Shares repeated Str values through the string dictionary from now on.
  void enable_dedup() noexcept { dedup_ = true; }
  bool dedup() const noexcept { return dedup_; }
  // Stored and reported, but every block is written uncompressed.
  void set_compression(Compression c) noexcept { compression_ = c; }
  Compression compression() const noexcept { return compression_; }
  // The memory lent to the data blocks, or nullptr for their own.
  BufferMemory* memory() const noexcept { return lent_; }

  // Starts one top-level value, written through the returned writer. Only
  // one writer may be open at a time, and the Encoder must not be moved
  // while it is.
  [[nodiscard]] ValueWriter begin_value() noexcept;

  // Appends one top-level value. Errors: NestingTooDeep(depth, max),
  // TooManyItems(count, max), MemoryLimitExceeded(requested, limit) for a
  // string over max_string_len or a document whose strings would pass
  // max_memory, BlockTooLarge(size, max) for a value that alone would take
  // a data block past max_block_size. On failure no byte of `value` stays in
  // the document and the encoder remains usable.
  [[nodiscard]] Result<void> encode_value(const Value& value);

  // Completes the document (header; per data block its string dictionary,
  // then the block; trailer) and hands over the bytes.
  [[nodiscard]] Result<std::vector<std::uint8_t>> finish() &&;

  // The same in two steps, for a caller that owns the output storage:
  // complete() finishes the document and returns its size; copy_out() then
  // writes it into `out`, which must be exactly that size, in one pass. No
  // value may be added after complete() unless reopen() undoes it: a caller
  // whose output failed keeps the open document, nothing lost.
  // complete() has no failure of its own: every limit was checked as values
  // came in. Its Result (and the Python layer's "finish error: " prefix)
  // stays for the day a block needs work that can fail, such as compression.
  [[nodiscard]] Result<std::size_t> complete();
  void copy_out(std::span<std::uint8_t> out) const noexcept;
  void reopen() noexcept;

  // For an encoder in lent memory, instead of complete() and copy_out():
  // completes the document in memory from the BufferMemory, the document's
  // first byte at the memory's start, and hands that memory over (the
  // caller frees it through the BufferMemory). A document of one data block
  // still in lent memory, with room there for what goes around it, is
  // finished where its block stands, moved only when the room kept in
  // front of the block was not the size of the framing (a string
  // dictionary, a length whose varint came out longer or shorter). Any
  // other (several blocks, or a block grown large enough for a mapping of
  // its own) is copied into new memory, the blocks' large mappings given
  // back as they are copied, so that it is not held twice.
  // On success the encoder is finished: nothing may be added, nor finished
  // again. Throws std::bad_alloc, the encoder then open with every value,
  // as it was.
  [[nodiscard]] Result<std::span<std::uint8_t>> finish_in_place();

  // For an encoder writing to a BlockWriter: the last block, then the trailer.
  [[nodiscard]] Result<void> finish_stream();
  // The error with which writing a block failed for good, if one did.
  const std::optional<TuvaxError>& stream_error() const noexcept { return stream_error_; }

 private:
  friend class ValueWriter;

  // One string of the sharing table: its first occurrence, inline in block_.
  struct SharedString {
    std::size_t offset;  // of its bytes in block_
    std::uint32_t len;
    std::uint32_t hash;
  };

  // A str value in full, or as a reference to its first occurrence. Returns
  // the string bytes a decoder produces for it: twice its length for a new
  // shared string, which the dictionary holds as well.
  std::uint64_t put_str(std::string_view s);
  std::string_view shared_text(const SharedString& e) const noexcept {
    return {reinterpret_cast<const char*>(block_.data() + e.offset), e.len};
  }
  // The slot of `s` in slots_, or of the empty slot where it would go.
  std::size_t find_slot(std::string_view s, std::uint32_t hash) const noexcept;
  void grow_slots();
  void rebuild_slots();
  void rollback(std::size_t block_mark, std::size_t table_mark, std::uint64_t memory_mark) noexcept;
  // Writes the current block's string dictionary and its framing into
  // output_; the payload itself stays in block_ until copy_out(). `dict`:
  // the dictionary's payload, when already made.
  void frame_block(const std::vector<std::uint8_t>* dict = nullptr);
  [[nodiscard]] Result<std::size_t> complete(const std::vector<std::uint8_t>* dict);
  bool has_dictionary() const noexcept { return dedup_ && !shared_.empty(); }

  // What a data block is written with; swapped out while a value moves.
  struct BlockState {
    detail::ByteBuffer block;
    std::vector<SharedString> shared;
    std::vector<std::uint32_t> slots;
    std::uint64_t dict_bytes = 0;
    std::uint64_t memory = 0;
  };
  void swap_block(BlockState& other) noexcept;
  // The value written since the marks would take the block past
  // max_block_size: writes it again into a fresh block with a table of its
  // own, then closes the current block without it. Errors (the value alone
  // too large, or past max_memory once its strings are counted anew) leave
  // everything as it was.
  [[nodiscard]] Result<void> move_value_to_new_block(std::size_t block_mark, std::size_t table_mark,
                                                     std::uint64_t memory_mark);
  // Writes one value read from `from` at `pos`, as this writer wrote it,
  // through `w`; string references resolve in `from`'s table.
  [[nodiscard]] Result<void> rewrite_value(ValueWriter& w, const BlockState& from, std::size_t& pos);
  // Frames the current block into output_ and keeps its payload aside, or
  // writes it out when streaming.
  [[nodiscard]] Result<void> close_block();
  [[nodiscard]] std::vector<std::uint8_t> dictionary_payload() const;

  // A data block already closed: its framing (and dictionary) ends at
  // output_[at]; the payload is copied only into the finished document.
  struct ClosedBlock {
    std::size_t at;
    detail::ByteBuffer payload;
  };

  BufferMemory* lent_ = nullptr;      // what data blocks grow in, if lent
  std::vector<std::uint8_t> output_;  // header, framing and dictionaries
  std::vector<ClosedBlock> closed_blocks_;
  std::vector<std::span<const std::uint8_t>> pieces_;  // the document in order, once closed
  detail::ByteBuffer block_;                           // the data block being written
  // String sharing: entries in index order, and an open-addressing index
  // over them (slot value = entry index + 1, 0 = empty).
  std::vector<SharedString> shared_;
  std::vector<std::uint32_t> slots_;
  std::uint64_t shared_dict_bytes_ = 0;  // what the dictionary block may take at most
  std::uint64_t memory_ = 0;             // string bytes a decoder of the document produces
  Limits limits_;
  bool header_written_ = false;
  bool closed_ = false;
  BlockWriter* stream_ = nullptr;  // where closed blocks go, when streaming
  std::optional<TuvaxError> stream_error_;
  // What complete() found, for reopen().
  std::size_t open_output_size_ = 0;
  bool open_header_written_ = false;
  bool dedup_ = false;
  Compression compression_ = Compression::None;
};

// Writes one top-level value into an Encoder, member by member. Containers
// announce their member count up front and must then receive exactly that
// many members (for an object: key(), then one value, per member) before
// their end_*(). Nothing is kept unless commit() succeeds: dropping the
// writer, or any failed call, rolls back every byte and string-table entry
// of the value, and the encoder stays usable.
class Encoder::ValueWriter {
 public:
  ValueWriter(ValueWriter&& o) noexcept
      : enc_(std::exchange(o.enc_, nullptr)), block_mark_(o.block_mark_), table_mark_(o.table_mark_),
        memory_mark_(o.memory_mark_), depth_(o.depth_) {}
  ValueWriter(const ValueWriter&) = delete;
  ValueWriter& operator=(const ValueWriter&) = delete;
  ValueWriter& operator=(ValueWriter&&) = delete;
  ~ValueWriter() { abandon(); }

  void null() { enc_->block_.push(detail::wire::null); }
  void boolean(bool b) {
    std::uint8_t* p = enc_->block_.room(2);
    p[0] = detail::wire::boolean;
    p[1] = b ? 1 : 0;
    enc_->block_.advance(2);
  }
  void uint(std::uint64_t u) { tagged_varint(detail::wire::uint, u); }
  void integer(std::int64_t i) { tagged_varint(detail::wire::sint, zigzag_encode(i)); }
  void real(double d) {
    std::uint8_t* p = enc_->block_.room(9);
    p[0] = detail::wire::real;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    if constexpr (std::endian::native == std::endian::big) bits = std::byteswap(bits);
    std::memcpy(p + 1, &bits, 8);
    enc_->block_.advance(9);
  }
  // Errors: MemoryLimitExceeded for a string over max_string_len or past
  // the document's max_memory total.
  [[nodiscard]] Result<void> str(std::string_view s) {
    // The common case inline: no sharing, and well within the limits.
    Encoder& e = *enc_;
    const std::size_t n = s.size();
    if (e.dedup_ || n > e.limits_.max_string_len || e.limits_.max_memory - e.memory_ < n || e.memory_ > e.limits_.max_memory)
      return shared_or_checked_str(s);
    e.memory_ += n;
    std::uint8_t* p = e.block_.room(2 + max_varint_len + n);
    p[0] = detail::wire::str_or_bytes;
    p[1] = detail::wire::subtype_str;
    const std::size_t head = 2 + write_varint(n, p + 2);
    detail::copy_bytes(p + head, s.data(), n);
    e.block_.advance(head + n);
    return {};
  }
  [[nodiscard]] Result<void> bytes(std::span<const std::uint8_t> b) {
    TUVAX_TRY_VOID(check_length(b.size()));
    TUVAX_TRY_VOID(count_memory(b.size()));
    std::uint8_t* p = enc_->block_.room(2 + max_varint_len);
    p[0] = detail::wire::str_or_bytes;
    p[1] = detail::wire::subtype_bytes;
    enc_->block_.advance(2 + write_varint(b.size(), p + 2));
    enc_->block_.append(b.data(), b.size());
    return {};
  }
  // Errors: NestingTooDeep(depth, max), TooManyItems(count, max).
  [[nodiscard]] Result<void> begin_array(std::uint64_t count) { return open(detail::wire::array_start, count); }
  [[nodiscard]] Result<void> begin_object(std::uint64_t count) { return open(detail::wire::object_start, count); }
  // Keys are always written bare, never shared, and do not count as string
  // bytes: the decoder does not count them either.
  void key(std::string_view k) {
    std::uint8_t* p = enc_->block_.room(max_varint_len + k.size());
    const std::size_t n = write_varint(k.size(), p);
    detail::copy_bytes(p + n, k.data(), k.size());
    enc_->block_.advance(n + k.size());
  }
  void end_array() { close(detail::wire::array_end); }
  void end_object() { close(detail::wire::object_end); }

  // Keeps the value. When the data block would pass max_block_size and
  // holds earlier values, the value moves to a new block. Errors:
  // BlockTooLarge when the value alone would pass max_block_size,
  // MemoryLimitExceeded when, moved, its strings pass max_memory; the value
  // is then rolled back like any failed one.
  [[nodiscard]] Result<void> commit();

 private:
  friend class Encoder;
  explicit ValueWriter(Encoder& enc) noexcept;
  void abandon() noexcept;
  void tagged_varint(std::uint8_t tag, std::uint64_t v) {
    std::uint8_t* p = enc_->block_.room(1 + max_varint_len);
    p[0] = tag;
    enc_->block_.advance(1 + write_varint(v, p + 1));
  }
  [[nodiscard]] Result<void> shared_or_checked_str(std::string_view s);
  [[nodiscard]] Result<void> check_length(std::size_t len) const;
  [[nodiscard]] Result<void> count_memory(std::uint64_t bytes);
  // Inline, as every container passes here; the refusals out of line.
  [[nodiscard]] Result<void> open(std::uint8_t tag, std::uint64_t count) {
    const Limits& limits = enc_->limits_;
    if (depth_ >= limits.max_depth || count > limits.max_items) [[unlikely]]
      return refuse_open(count);
    tagged_varint(tag, count);
    ++depth_;
    return {};
  }
  // NestingTooDeep, or else TooManyItems, for a container open() refuses.
  [[nodiscard]] Result<void> refuse_open(std::uint64_t count) const;
  void close(std::uint8_t tag) {
    --depth_;
    enc_->block_.push(tag);
  }

  Encoder* enc_;
  std::size_t block_mark_;
  std::size_t table_mark_;
  std::uint64_t memory_mark_;
  std::uint64_t depth_ = 0;
};

inline Encoder::ValueWriter Encoder::begin_value() noexcept { return ValueWriter(*this); }

}  // namespace tuvax

#endif  // TUVAX_ENCODER_HPP
