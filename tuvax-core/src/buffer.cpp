#include "tuvax/detail/buffer.hpp"

#include <sys/mman.h>  // mmap, mremap, madvise, mincore

#include <algorithm>  // std::min
#include <atomic>
#include <cstdint>
#include <cstdlib>  // std::realloc, std::free
#include <cstring>  // std::memcpy
#include <limits>

namespace tuvax::detail {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// From this capacity on, a buffer is a mapping of its own. One in lent
// memory stays there twice as long, so that a document of up to 2 MiB (a
// lender's block grown to that) is finished where it stands, without the
// move into a mapping and the copy back out (a tenth of such an encode);
// the C library's allocator serves blocks of that size without a fault per
// page once it has seen them, but not larger ones.
constexpr std::size_t mapped_capacity = std::size_t{2} << 20;
constexpr std::size_t lent_mapped_capacity = std::size_t{4} << 20;

#if defined(__linux__)
// One mapping of up to spare_capacity bytes that a released buffer leaves
// resident for the next: fresh memory costs a fault and the zeroing of
// every page, which for a document of a few megabytes made in a loop was a
// fifth of its encode. Larger mappings are given back, and so are the
// pages of a large buffer as it is copied out (discard()), so that a large
// document is not held twice; the spare is at most this much memory kept.
constexpr std::size_t spare_capacity = std::size_t{8} << 20;

// Without a lock, so that a process forked while another thread stood
// here is not left holding one: the mapping's size is kept in its own
// first bytes while it waits.
class SpareMapping {
 public:
  // The spare, if it holds at least `n` bytes; its size in `n`.
  void* take(std::size_t& n) noexcept {
    void* p = spare_.exchange(nullptr, std::memory_order_acquire);
    if (p == nullptr) return nullptr;
    std::size_t size;
    std::memcpy(&size, p, sizeof size);
    if (size < n) {
      if (!keep(p, size)) munmap(p, size);
      return nullptr;
    }
    n = size;
    return p;
  }
  // Keeps [p, p + n) as the spare if there is none and it is small
  // enough; false when the caller must unmap it.
  bool keep(void* p, std::size_t n) noexcept {
    if (n > spare_capacity) return false;
    std::memcpy(p, &n, sizeof n);
    void* none = nullptr;
    return spare_.compare_exchange_strong(none, p, std::memory_order_release, std::memory_order_relaxed);
  }

 private:
  std::atomic<void*> spare_{nullptr};
};

SpareMapping spare;
#endif

}  // namespace

void advise_huge_pages(void* p, std::size_t n) noexcept { advise_huge_pages(p, n, n); }

void advise_huge_pages(void* p, std::size_t n, std::size_t populate) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (start + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
  const std::uintptr_t last = (start + n) & ~(std::uintptr_t{huge_page} - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
  // The rest, up to 2 MiB at each end, in one call rather than a fault per
  // page. Whole pages: the ones holding the ends belong to the same mapping.
  const std::uintptr_t page = 4096;
  const std::uintptr_t head = start & ~(page - 1);
  const std::uintptr_t tail = (start + std::min(n, populate) + page - 1) & ~(page - 1);
  if (tail - head >= huge_page) madvise(reinterpret_cast<void*>(head), tail - head, MADV_POPULATE_WRITE);
#endif
#else
  (void)p;
  (void)n;
  (void)populate;
#endif
}

void advise_huge_pages_lazily(void* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (start + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
  const std::uintptr_t last = (start + n) & ~(std::uintptr_t{huge_page} - 1);
  if (last <= first) return;
  madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
  const std::uintptr_t page = 4096;
  const std::uintptr_t head = start & ~(page - 1);
  const std::uintptr_t tail = (start + n + page - 1) & ~(page - 1);
  if (first > head) madvise(reinterpret_cast<void*>(head), first - head, MADV_POPULATE_WRITE);
  if (tail > last) madvise(reinterpret_cast<void*>(last), tail - last, MADV_POPULATE_WRITE);
#endif
#else
  (void)p;
  (void)n;
#endif
}

void populate_missing_pages(void* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t page = 4096;
  std::uintptr_t from = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const std::uintptr_t tail = (reinterpret_cast<std::uintptr_t>(p) + n + page - 1) & ~(page - 1);
  unsigned char resident[1024];
  while (from < tail) {
    const std::size_t pages = std::min<std::size_t>((tail - from) / page, sizeof resident);
    if (mincore(reinterpret_cast<void*>(from), pages * page, resident) != 0) break;  // populate the rest
    std::size_t i = 0;
    while (i < pages && (resident[i] & 1) != 0) ++i;
    from += i * page;
    if (i < pages) break;
  }
  if (from < tail) madvise(reinterpret_cast<void*>(from), tail - from, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)n;
#endif
}

void OutputBuffer::release() noexcept {
  if (memory_ != nullptr) {
    if (data_ != nullptr) memory_->free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    return;
  }
#if defined(__linux__)
  if (mapped_) {
    if (!spare.keep(data_, capacity_)) munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
#else
  std::free(data_);
#endif
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

void OutputBuffer::discard(std::size_t n) noexcept {
#if defined(__linux__)
  // A buffer that may stay as the spare keeps its pages for the next.
  if (!mapped_ || capacity_ <= spare_capacity) return;
  // Whole huge pages only: giving back part of one would split it. The
  // mapping starts on a page boundary, and ends on one of huge pages.
  const std::size_t end = std::min(n, size_) & ~(huge_page - 1);
  if (end != 0) madvise(data_, end, MADV_DONTNEED);
#else
  (void)n;
#endif
}

bool OutputBuffer::enlarge(std::size_t n) noexcept {
  if (n > std::numeric_limits<std::size_t>::max() / 4 - size_) return false;
  std::size_t cap = capacity_ < 4096 ? 4096 : capacity_ * 2;
  if (cap < size_ + n) cap = size_ + n;
#if defined(__linux__)
  if (cap >= (memory_ != nullptr ? lent_mapped_capacity : mapped_capacity)) {
    cap = (cap + huge_page - 1) & ~(huge_page - 1);
    void* p;
    if (mapped_) {
      p = mremap(data_, capacity_, cap, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) {
        // Some environments (valgrind among them) cannot move a mapping:
        // a new one and a copy do the same.
        p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
          if (size_ != 0) std::memcpy(p, data_, size_);
          munmap(data_, capacity_);
        }
      }
    } else {
      // A lent buffer too: a larger block in memory from the C library's
      // allocator, which moves it between its heap and mappings of its own
      // as it sees fit, would often take a fault per 4 KiB, and be copied
      // as it grows.
      p = spare.take(cap);
      if (p == nullptr) p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED) {
        advise_huge_pages(p, cap, size_ + n);
        if (size_ != 0) std::memcpy(p, data_, size_);
        if (memory_ != nullptr) {
          if (data_ != nullptr) memory_->free(data_);
          memory_ = nullptr;
        } else {
          std::free(data_);
        }
      }
    }
    if (p == MAP_FAILED) return false;
    // A remapped buffer keeps its advice; the part added to it gets it too.
    if (mapped_) advise_huge_pages(p, cap, size_ + n);
    data_ = static_cast<char*>(p);
    capacity_ = cap;
    mapped_ = true;
    return true;
  }
#endif
  if (memory_ != nullptr) {
    void* p = memory_->resize(data_, cap);
    if (p == nullptr) return false;
    data_ = static_cast<char*>(p);
    capacity_ = cap;
    return true;
  }
  char* p = static_cast<char*>(std::realloc(data_, cap));
  if (p == nullptr) return false;
  data_ = p;
  capacity_ = cap;
  return true;
}

}  // namespace tuvax::detail
