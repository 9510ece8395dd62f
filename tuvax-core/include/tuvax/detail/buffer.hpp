#ifndef TUVAX_DETAIL_BUFFER_HPP
#define TUVAX_DETAIL_BUFFER_HPP

// The one growable output buffer of the core: the binary encoder's data
// blocks and the text writer's output both grow in it (defined in text.cpp).

#include <cstddef>
#include <string_view>
#include <utility>  // std::exchange

namespace tuvax {

// Memory an OutputBuffer's owner lends it, instead of the buffer's own: the
// Python layer lends memory that can become a bytes object as it stands, so
// that a document finished in it need not be copied out. Called only by the
// thread using the buffer, and never throws.
class BufferMemory {
 public:
  // Memory for `n` bytes that holds what `p` (nullptr for none) held, up to
  // n, as realloc() does; nullptr when it cannot be had, `p` then unchanged.
  // Huge pages, if any, are the lender's to advise.
  [[nodiscard]] virtual void* resize(void* p, std::size_t n) noexcept = 0;
  // Gives back memory that resize() returned.
  virtual void free(void* p) noexcept = 0;

 protected:
  ~BufferMemory() = default;
};

}  // namespace tuvax

namespace tuvax::detail {

// Asks the system to back [p, p + n) with huge pages where it can (Linux,
// transparent huge pages in "madvise" mode): a buffer of megabytes written
// into fresh memory otherwise takes one page fault per 4 KiB, which can cost
// more than the writing. Only the 2 MiB-aligned middle is affected; nothing
// happens elsewhere, or when the system declines. Never fails.
void advise_huge_pages(void* p, std::size_t n) noexcept;
// The same, making only the first `populate` bytes resident at once: a
// buffer's room beyond what is about to be written stays unbacked until it
// is used (a streaming writer's block may never fill the room it doubled to).
void advise_huge_pages(void* p, std::size_t n, std::size_t populate) noexcept;
// The same, making resident at once only the ends that huge pages do not
// cover: memory about to be filled from front to back while other memory
// is given back, which must not be all resident before it is written.
void advise_huge_pages_lazily(void* p, std::size_t n) noexcept;

// Makes the pages of [p, p + n) resident in one call (Linux), from the
// first one that is not: memory an allocator hands out again is mostly in
// memory already, all but an end it gave back, and populating it whole
// would walk every page again. Nothing happens elsewhere. Never fails.
void populate_missing_pages(void* p, std::size_t n) noexcept;

// A growable byte buffer. Small buffers live on the heap; large ones are
// their own mappings, grown in place or remapped without copying, and
// backed by huge pages where the system allows. The last mapping released,
// if of a few megabytes, stays resident for the next large buffer. A
// buffer given a BufferMemory holds its bytes in that up to 2 MiB; grown
// larger, it moves to a mapping of its own, as a buffer on the heap does,
// and is no longer lent (memory() turns nullptr).
class OutputBuffer {
 public:
  OutputBuffer() noexcept = default;
  explicit OutputBuffer(BufferMemory* memory) noexcept : memory_(memory) {}
  // A moved-from buffer is empty, and keeps its memory source.
  OutputBuffer(OutputBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)), mapped_(std::exchange(o.mapped_, false)), memory_(o.memory_) {}
  OutputBuffer& operator=(OutputBuffer&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
      mapped_ = std::exchange(o.mapped_, false);
      memory_ = o.memory_;
    }
    return *this;
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() { release(); }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  std::size_t capacity() const noexcept { return capacity_; }
  // Empties the buffer, keeping its memory for the next text.
  void clear() noexcept { size_ = 0; }
  // Empties the buffer and gives its memory back.
  void release() noexcept;
  // The lender of the memory, or nullptr for the buffer's own.
  BufferMemory* memory() const noexcept { return memory_; }
  // Empties the buffer and hands its memory, which the caller then owns, to
  // the caller: the pointer resize() returned last. Only for lent memory.
  char* take() noexcept {
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

  // Gives the huge pages wholly within the first `n` bytes back to the
  // system, for a buffer that is a mapping of its own and too large to be
  // kept for the next buffer (nothing happens otherwise): they read as zero
  // from then on.
  void discard(std::size_t n) noexcept;

  // Whether `n` more bytes fit without growing.
  bool has_room(std::size_t n) const noexcept { return capacity_ - size_ >= n; }
  // Room for `n` more bytes after size(); false when it cannot be had.
  bool reserve(std::size_t n) noexcept { return has_room(n) || enlarge(n); }
  // The write position; valid for what reserve() granted.
  char* end() noexcept { return data_ + size_; }
  void advance(std::size_t n) noexcept { size_ += n; }
  // Drops everything after the first `n` bytes (n <= size()).
  void truncate(std::size_t n) noexcept { size_ = n; }

 private:
  bool enlarge(std::size_t n) noexcept;  // allocates room for n more bytes

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // data_ is a mapping of its own, not heap memory
  BufferMemory* memory_ = nullptr;
};

}  // namespace tuvax::detail

#endif  // TUVAX_DETAIL_BUFFER_HPP
