#include "tuvax/encoder.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>  // std::bad_alloc
#include <numeric>

#include "tuvax/detail/utf8.hpp"

namespace tuvax {

namespace wire = detail::wire;

namespace {

inline constexpr std::size_t initial_capacity = 4096;
inline constexpr std::size_t dict_bytes_per_entry = 16;
inline constexpr std::size_t min_slots = 64;

// A quick hash for the sharing table: eight bytes a step, mixed by one
// multiply each. Never stored, so it may change freely.
std::uint32_t string_hash(std::string_view s) noexcept {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
  std::uint64_t h = s.size() * k;
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  std::size_t n = s.size();
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * k;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i) tail |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  h = (h ^ tail) * k;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h);
}

// Length of the common byte prefix of `prev` and `cur`, moved down to a
// character boundary of `cur` so that the suffix is valid UTF-8 by itself.
std::size_t shared_prefix(std::string_view prev, std::string_view cur) noexcept {
  const std::size_t limit = std::min(prev.size(), cur.size());
  std::size_t n = static_cast<std::size_t>(
      std::mismatch(prev.begin(), prev.begin() + static_cast<std::ptrdiff_t>(limit), cur.begin()).first -
      prev.begin());
  while (n > 0 && n < cur.size() && detail::is_continuation_byte(static_cast<std::uint8_t>(cur[n]))) --n;
  return n;
}

// The values of a tree, written through a writer; recursion is bounded by
// the writer's depth check.
Result<void> write_value(Encoder::ValueWriter& w, const Value& value) {
  switch (value.kind()) {
    case Kind::Null: w.null(); return {};
    case Kind::Bool: w.boolean(value.as_bool()); return {};
    case Kind::UInt: w.uint(value.as_uint()); return {};
    case Kind::Int: w.integer(value.as_int()); return {};
    case Kind::Float: w.real(value.as_float()); return {};
    case Kind::Str: return w.str(value.as_str());
    case Kind::Bytes: return w.bytes(value.as_bytes());
    case Kind::Array: {
      const Array& a = value.as_array();
      TUVAX_TRY_VOID(w.begin_array(a.size()));
      for (const Value& element : a) TUVAX_TRY_VOID(write_value(w, element));
      w.end_array();
      return {};
    }
    case Kind::Object: {
      const Object& o = value.as_object();
      TUVAX_TRY_VOID(w.begin_object(o.size()));
      for (const Member& m : o) {
        w.key(m.key);
        TUVAX_TRY_VOID(write_value(w, m.value));
      }
      w.end_object();
      return {};
    }
  }
  return {};
}

}  // namespace

// ---- Block buffer ----

namespace detail {

namespace {

// What a document puts before its one data block: the header and the
// block's framing, whose length varint grows with the block. Sized for the
// largest block `capacity` holds, as most blocks end up more than half as
// large as the room they last doubled to; a block that falls short of a
// varint length step, or a string dictionary, costs a move at the end.
std::size_t expected_front(std::size_t capacity) noexcept {
  constexpr std::size_t most = header_size + max_block_framing + trailer_size;
  return header_size + block_framing_size(capacity > most ? capacity - most : 0);
}

}  // namespace

void ByteBuffer::grow(std::size_t n) {
  if (buf_.memory() == nullptr) {
    if (!buf_.reserve(n)) throw std::bad_alloc();
    return;
  }
  // Room for the front to move forward too. A buffer grown large enough to
  // leave the lent memory is copied out in the end: its front stays.
  const std::size_t most = header_size + max_block_framing;
  if (n > std::numeric_limits<std::size_t>::max() - most || !buf_.reserve(n + most)) throw std::bad_alloc();
  if (lent()) move_front(expected_front(buf_.capacity()));
}

void ByteBuffer::move_front(std::size_t front) noexcept {
  if (front == front_) return;
  const std::size_t n = size();
  if (n != 0) std::memmove(buf_.data() + front, buf_.data() + front_, n);
  front_ = front;
  buf_.truncate(front + n);
}

std::uint8_t* ByteBuffer::frame(std::size_t front) noexcept {
  assert(lent());
  move_front(front);
  return reinterpret_cast<std::uint8_t*>(buf_.data());
}

}  // namespace detail

// ---- Value writer ----

Encoder::ValueWriter::ValueWriter(Encoder& enc) noexcept
    : enc_(&enc), block_mark_(enc.block_.size()), table_mark_(enc.shared_.size()), memory_mark_(enc.memory_) {}

void Encoder::ValueWriter::abandon() noexcept {
  // A value that fails part-way has already written its enclosing start
  // tags and earlier members; cut them off so a finished document never
  // holds a truncated container that would swallow the values after it.
  if (enc_ != nullptr) enc_->rollback(block_mark_, table_mark_, memory_mark_);
  enc_ = nullptr;
}

Result<void> Encoder::ValueWriter::check_length(std::size_t len) const {
  if (len > enc_->limits_.max_string_len)
    return std::unexpected(TuvaxError::memory_limit_exceeded(len, enc_->limits_.max_string_len));
  return {};
}

Result<void> Encoder::ValueWriter::count_memory(std::uint64_t bytes) {
  // The same running total, in the same order, as the decoder keeps.
  const std::uint64_t total = saturating_add(enc_->memory_, bytes);
  if (total > enc_->limits_.max_memory)
    return std::unexpected(TuvaxError::memory_limit_exceeded(total, enc_->limits_.max_memory));
  enc_->memory_ = total;
  return {};
}

Result<void> Encoder::ValueWriter::shared_or_checked_str(std::string_view s) {
  TUVAX_TRY_VOID(check_length(s.size()));
  return count_memory(enc_->put_str(s));
}

Result<void> Encoder::ValueWriter::refuse_open(std::uint64_t count) const {
  const Limits& limits = enc_->limits_;
  if (depth_ >= limits.max_depth) return std::unexpected(TuvaxError::nesting_too_deep(depth_, limits.max_depth));
  return std::unexpected(TuvaxError::too_many_items(count, limits.max_items));
}

Result<void> Encoder::ValueWriter::commit() {
  const std::uint64_t size = enc_->block_.size();
  if (size > enc_->limits_.max_block_size) {
    if (block_mark_ == 0)
      return std::unexpected(TuvaxError::block_too_large(size, enc_->limits_.max_block_size));
    TUVAX_TRY_VOID(enc_->move_value_to_new_block(block_mark_, table_mark_, memory_mark_));
  }
  enc_ = nullptr;
  return {};
}

// ---- Encoder ----

Encoder::Encoder() : Encoder(Limits{}) {}

Encoder::Encoder(const Limits& limits) : limits_(limits) { output_.reserve(initial_capacity); }

// Without room reserved for framing: a document of one block, the usual
// one, is finished in the block's memory and needs none.
Encoder::Encoder(const Limits& limits, BufferMemory& memory) : lent_(&memory), block_(&memory), limits_(limits) {}

Encoder::Encoder(BlockWriter& out, const Limits& limits) : limits_(limits), stream_(&out) {}

Result<void> Encoder::encode_value(const Value& value) {
  ValueWriter w = begin_value();
  TUVAX_TRY_VOID(write_value(w, value));
  return w.commit();
}

std::uint64_t Encoder::put_str(std::string_view s) {
  // Indices are 32-bit and the dictionary must stay within what a decoder
  // accepts (entries per count, bytes per block): a full table simply stops
  // sharing, and later strings are written in full.
  const bool share = dedup_;
  std::uint32_t hash = 0;
  std::size_t slot = 0;
  if (share) {
    hash = string_hash(s);
    if (!slots_.empty()) {
      slot = find_slot(s, hash);
      if (const std::uint32_t found = slots_[slot]; found != 0) {
        std::uint8_t* p = block_.room(1 + max_varint_len);
        p[0] = wire::str_ref;
        block_.advance(1 + write_varint(found - 1, p + 1));
        return s.size();
      }
    }
  }
  std::uint8_t* p = block_.room(2 + max_varint_len + s.size());
  p[0] = wire::str_or_bytes;
  p[1] = wire::subtype_str;
  const std::size_t head = 2 + write_varint(s.size(), p + 2);
  detail::copy_bytes(p + head, s.data(), s.size());
  const std::size_t offset = block_.size() + head;
  block_.advance(head + s.size());
  if (!share) return s.size();

  // An entry takes its text plus three varints in the dictionary at most.
  const std::uint64_t entry_bound = s.size() + 3 * max_varint_len;
  if (shared_.size() >= std::min<std::uint64_t>(limits_.max_items, std::numeric_limits<std::uint32_t>::max() - 1) ||
      shared_dict_bytes_ + entry_bound + max_varint_len > limits_.max_block_size)
    return s.size();
  if ((shared_.size() + 1) * 2 > slots_.size()) {
    grow_slots();
    slot = find_slot(s, hash);
  }
  shared_.push_back({offset, static_cast<std::uint32_t>(s.size()), hash});
  slots_[slot] = static_cast<std::uint32_t>(shared_.size());
  shared_dict_bytes_ += entry_bound;
  return 2 * static_cast<std::uint64_t>(s.size());
}

std::size_t Encoder::find_slot(std::string_view s, std::uint32_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint32_t v = slots_[i];
    if (v == 0) return i;
    const SharedString& e = shared_[v - 1];
    if (e.hash == hash && shared_text(e) == s) return i;
  }
}

void Encoder::grow_slots() {
  slots_.assign(std::max(min_slots, slots_.size() * 2), 0);
  rebuild_slots();
}

void Encoder::rebuild_slots() {
  std::fill(slots_.begin(), slots_.end(), 0);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < shared_.size(); ++k) {
    std::size_t i = shared_[k].hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<std::uint32_t>(k + 1);
  }
}

void Encoder::rollback(std::size_t block_mark, std::size_t table_mark, std::uint64_t memory_mark) noexcept {
  block_.truncate(block_mark);
  memory_ = memory_mark;
  if (shared_.size() > table_mark) {
    // Only strings of the failed value carry indices at or above the mark.
    shared_.resize(table_mark);
    shared_dict_bytes_ = 0;
    for (const SharedString& e : shared_) shared_dict_bytes_ += e.len + 3 * max_varint_len;
    if (!slots_.empty()) rebuild_slots();
  }
}

std::vector<std::uint8_t> Encoder::dictionary_payload() const {
  // Sorted by bytes, so neighbours share long prefixes and the output
  // depends on nothing but the values.
    std::vector<std::uint32_t> order(shared_.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) { return shared_text(shared_[a]) < shared_text(shared_[b]); });

    std::vector<std::uint8_t> dict;
    dict.reserve(shared_.size() * dict_bytes_per_entry);
    encode_varint_vec(shared_.size(), dict);
    std::string_view previous;
    for (const std::uint32_t index : order) {
      const std::string_view s = shared_text(shared_[index]);
      const std::size_t prefix = shared_prefix(previous, s);
      encode_varint_vec(index, dict);
      encode_varint_vec(prefix, dict);
      encode_varint_vec(s.size() - prefix, dict);
      dict.insert(dict.end(), s.begin() + static_cast<std::ptrdiff_t>(prefix), s.end());
      previous = s;
    }
  return dict;
}

void Encoder::frame_block(const std::vector<std::uint8_t>* dict) {
  if (block_.empty()) return;
  if (!header_written_) {
    write_header(output_);
    header_written_ = true;
  }
  if (has_dictionary()) write_block(BlockType::StringDict, dict != nullptr ? *dict : dictionary_payload(), output_);
  write_block_header(BlockType::Data, block_.bytes(), output_);
}

// ---- Block splitting ----

void Encoder::swap_block(BlockState& other) noexcept {
  std::swap(block_, other.block);
  std::swap(shared_, other.shared);
  std::swap(slots_, other.slots);
  std::swap(shared_dict_bytes_, other.dict_bytes);
  std::swap(memory_, other.memory);
}

Result<void> Encoder::move_value_to_new_block(std::size_t block_mark, std::size_t table_mark,
                                              std::uint64_t memory_mark) {
  // The current block (value included) is set aside, and the value written
  // again into an empty one. Its string references point into the old
  // block's table, and its own strings took indices after that table's, so
  // under sharing its bytes cannot simply move: they are read back and
  // written anew, counting string bytes as a decoder of the new block does.
  BlockState aside;
  aside.block = detail::ByteBuffer(lent_);
  swap_block(aside);
  memory_ = memory_mark;
  Result<void> written;
  try {
    if (!dedup_) {
      // Without sharing a value's bytes do not depend on where they stand.
      block_.append(aside.block.data() + block_mark, aside.block.size() - block_mark);
      memory_ = aside.memory;
    } else {
      ValueWriter w(*this);
      std::size_t pos = block_mark;
      written = rewrite_value(w, aside, pos);
      assert(!written || pos == aside.block.size());
      if (written) w.enc_ = nullptr;  // kept; a failure rolls back when w goes
    }
  } catch (...) {
    swap_block(aside);  // out of memory: the earlier block must not go with it
    throw;
  }
  if (written && block_.size() > limits_.max_block_size)
    written = std::unexpected(TuvaxError::block_too_large(block_.size(), limits_.max_block_size));
  swap_block(aside);  // the earlier block again, value included
  if (!written) return written;  // the caller's writer rolls the value back
  // The earlier block ends where the value began. Should closing it run out
  // of memory, the encoder is left as after a failed value.
  rollback(block_mark, table_mark, memory_mark);
  // A block that cannot be written stays, and the value goes with the new
  // block: the caller's writer rolls it back, and the next close of a
  // block writes the earlier one again.
  TUVAX_TRY_VOID(close_block());
  swap_block(aside);  // the new block, holding the value
  return {};
}

Result<void> Encoder::rewrite_value(ValueWriter& w, const BlockState& from, std::size_t& pos) {
  // The bytes are this encoder's own, so they are well formed: no checks
  // beyond the writer's, which they passed once already.
  const std::uint8_t* const p = from.block.data();
  const std::size_t size = from.block.size();
  auto varint = [&]() noexcept {
    const auto v = decode_varint(p, size, pos);
    assert(v.has_value());
    pos += v->consumed;
    return v->value;
  };
  const std::uint8_t tag = p[pos++];
  switch (tag) {
    case wire::null: w.null(); return {};
    case wire::boolean: w.boolean(p[pos++] != 0); return {};
    case wire::uint: w.uint(varint()); return {};
    case wire::sint: w.integer(zigzag_decode(varint())); return {};
    case wire::real:
      w.real(std::bit_cast<double>(load_le64(p + pos)));
      pos += 8;
      return {};
    case wire::str_or_bytes: {
      const std::uint8_t subtype = p[pos++];
      const std::size_t len = varint();
      const std::size_t at = std::exchange(pos, pos + len);
      if (subtype == wire::subtype_str) return w.str({reinterpret_cast<const char*>(p + at), len});
      return w.bytes({p + at, len});
    }
    case wire::str_ref: {
      const SharedString& e = from.shared[varint()];
      return w.str({reinterpret_cast<const char*>(p + e.offset), e.len});
    }
    case wire::array_start: {
      const std::uint64_t count = varint();
      TUVAX_TRY_VOID(w.begin_array(count));
      for (std::uint64_t i = 0; i < count; ++i) TUVAX_TRY_VOID(rewrite_value(w, from, pos));
      ++pos;  // array_end
      w.end_array();
      return {};
    }
    case wire::object_start: {
      const std::uint64_t count = varint();
      TUVAX_TRY_VOID(w.begin_object(count));
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t len = varint();
        w.key({reinterpret_cast<const char*>(p + pos), len});
        pos += len;
        TUVAX_TRY_VOID(rewrite_value(w, from, pos));
      }
      ++pos;  // object_end
      w.end_object();
      return {};
    }
    default:
      assert(false && "not a tag this encoder writes");
      return {};
  }
}

Result<void> Encoder::close_block() {
  if (stream_ != nullptr) {
    const BlockWriter::Mark mark = stream_->mark();
    Result<void> written;
    if (dedup_ && !shared_.empty()) written = stream_->write_block(BlockType::StringDict, dictionary_payload());
    if (written) written = stream_->write_block(BlockType::Data, block_.bytes());
    if (!written) {
      // Taken back from the sink, the block stays to be written again;
      // where it cannot be, nothing more is written.
      if (!stream_->rewind(mark)) stream_error_ = written.error();
      return written;
    }
    block_.clear();  // its room serves the next block
    shared_.clear();
    slots_.clear();
    shared_dict_bytes_ = 0;
    return written;
  }
  closed_blocks_.reserve(closed_blocks_.size() + 1);
  const std::size_t output_mark = output_.size();
  const bool header_mark = header_written_;
  try {
    frame_block();
  } catch (...) {
    output_.resize(output_mark);
    header_written_ = header_mark;
    throw;
  }
  closed_blocks_.push_back({output_.size(), std::move(block_)});
  block_ = detail::ByteBuffer(lent_);
  shared_.clear();
  slots_.clear();
  shared_dict_bytes_ = 0;
  return {};
}

Result<void> Encoder::finish_stream() {
  if (stream_error_) return std::unexpected(*stream_error_);
  if (!block_.empty()) TUVAX_TRY_VOID(close_block());
  const BlockWriter::Mark mark = stream_->mark();
  auto r = stream_->finish();
  if (!r && !stream_->rewind(mark)) stream_error_ = r.error();
  return r;
}

// ---- Finishing ----

Result<std::size_t> Encoder::complete() { return complete(nullptr); }

Result<std::size_t> Encoder::complete(const std::vector<std::uint8_t>* dict) {
  if (!closed_) {
    open_output_size_ = output_.size();
    open_header_written_ = header_written_;
    if (!header_written_) {
      write_header(output_);
      header_written_ = true;
    }
    // The last data block's payload stays where it is, as do those of the
    // blocks closed before it: copy_out() copies each straight into the
    // caller's storage between the stretches of framing in output_. The
    // sharing table stays too, for reopen().
    try {
      frame_block(dict);
      pieces_.reserve(2 * closed_blocks_.size() + 2);
    } catch (...) {
      reopen();
      throw;
    }
    pieces_.reserve(2 * closed_blocks_.size() + 2);
    std::size_t from = 0;
    for (const ClosedBlock& b : closed_blocks_) {
      pieces_.push_back(std::span(output_).subspan(from, b.at - from));
      pieces_.push_back(b.payload.bytes());
      from = b.at;
    }
    pieces_.push_back(std::span(output_).subspan(from));
    pieces_.push_back(block_.bytes());
    closed_ = true;
  }
  std::size_t size = trailer_size;
  for (const auto& piece : pieces_) size += piece.size();
  return size;
}

void Encoder::copy_out(std::span<std::uint8_t> out) const noexcept { assemble_document(pieces_, out); }

void Encoder::reopen() noexcept {
  output_.resize(open_output_size_);
  header_written_ = open_header_written_;
  pieces_.clear();
  closed_ = false;
}

Result<std::span<std::uint8_t>> Encoder::finish_in_place() {
  assert(lent_ != nullptr && stream_ == nullptr && !closed_);
  // What goes before a block: the header, the string dictionary and the
  // block's framing.
  const bool one_block = closed_blocks_.empty() && block_.lent();
  std::vector<std::uint8_t> dict;
  if (one_block && !block_.empty() && has_dictionary()) dict = dictionary_payload();
  std::size_t front = header_size;
  if (!block_.empty()) {
    if (has_dictionary()) front += block_framing_size(dict.size()) + dict.size();
    front += block_framing_size(block_.size());
  }
  if (!one_block || !block_.fits(front, trailer_size)) {
    // The blocks stand in memory of their own, or the block's has no room
    // for what goes around it: the document is put together in new memory,
    // as copy_out() does, each large block's memory given back as it is
    // copied. pieces_ alternates framing in output_ with payloads.
    TUVAX_TRY(const std::size_t size, complete(one_block ? &dict : nullptr));
    auto* const out = static_cast<std::uint8_t*>(lent_->resize(nullptr, size));
    if (out == nullptr) {
      reopen();
      throw std::bad_alloc();
    }
    auto copied = [](void* context, std::size_t i, std::size_t n) noexcept {
      Encoder& e = *static_cast<Encoder*>(context);
      if (i % 2 == 0) return;
      const std::size_t k = i / 2;
      (k < e.closed_blocks_.size() ? e.closed_blocks_[k].payload : e.block_).discard(n);
    };
    assemble_document(pieces_, {out, size}, copied, this);
    return std::span(out, size);
  }
  const std::size_t size = front + block_.size() + trailer_size;
  std::uint8_t* doc = block_.frame(front);
  std::vector<std::uint8_t> framing;
  framing.reserve(front);
  write_header(framing);
  if (!block_.empty()) {
    if (has_dictionary()) write_block(BlockType::StringDict, dict, framing);
    write_block_header(BlockType::Data, block_.bytes(), framing);
  }
  assert(framing.size() == front);
  std::memcpy(doc, framing.data(), front);
  write_trailer_at_end({doc, size});
  block_.take();
  closed_ = true;
  return std::span(doc, size);
}

Result<std::vector<std::uint8_t>> Encoder::finish() && {
  TUVAX_TRY(const std::size_t size, complete());
  std::vector<std::uint8_t> out(size);
  copy_out(out);
  pieces_ = {};
  shared_ = {};
  slots_ = {};
  closed_blocks_ = std::vector<ClosedBlock>();
  output_ = {};
  block_.release();
  return out;
}

}  // namespace tuvax
