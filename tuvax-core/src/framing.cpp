#include "tuvax/framing.hpp"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>  // std::min, std::max
#include <atomic>
#include <cerrno>
#include <cstdio>   // std::snprintf
#include <cstring>  // std::memcpy, std::memcmp, std::memmove
#include <format>
#include <limits>
#include <new>      // std::nothrow
#include <utility>

#include "tuvax/varint.hpp"

namespace tuvax {

// ---- Layout ----

std::uint64_t xxh64(std::span<const std::uint8_t> bytes) noexcept { return XXH64(bytes.data(), bytes.size(), 0); }

static_assert(sizeof(XXH64_state_t) <= 96 && alignof(XXH64_state_t) <= 8);

Xxh64Stream::Xxh64Stream() noexcept { XXH64_reset(reinterpret_cast<XXH64_state_t*>(state_), 0); }

void Xxh64Stream::update(std::span<const std::uint8_t> bytes) noexcept {
  XXH64_update(reinterpret_cast<XXH64_state_t*>(state_), bytes.data(), bytes.size());
}

std::uint64_t Xxh64Stream::digest() const noexcept {
  return XXH64_digest(reinterpret_cast<const XXH64_state_t*>(state_));
}

namespace {

void store_le64(std::uint64_t v, std::uint8_t* out) noexcept {
  for (int i = 0; i < 8; ++i, v >>= 8) out[i] = static_cast<std::uint8_t>(v);
}

// The 19 bytes of the trailer that carries `file_hash`.
void frame_trailer(std::uint64_t file_hash, std::uint8_t* out) noexcept {
  out[0] = static_cast<std::uint8_t>(BlockType::Trailer);
  out[1] = trailer_payload_size;
  out[2] = static_cast<std::uint8_t>(Compression::None);
  store_le64(file_hash, out + trailer_payload_at);
  store_le64(XXH64(out + trailer_payload_at, trailer_payload_size, 0), out + trailer_checksum_at);
}

// A block's framing before its payload: type, length, compression 0, checksum.
std::size_t frame_block(BlockType type, std::span<const std::uint8_t> payload, std::uint8_t* out) noexcept {
  out[0] = static_cast<std::uint8_t>(type);
  std::size_t n = 1 + write_varint(payload.size(), out + 1);
  out[n++] = static_cast<std::uint8_t>(Compression::None);
  store_le64(xxh64(payload), out + n);
  return n + checksum_size;
}

}  // namespace

void append_le64(std::uint64_t v, std::vector<std::uint8_t>& out) {
  std::uint8_t le[8];
  store_le64(v, le);
  out.insert(out.end(), le, le + 8);
}

void write_header(std::vector<std::uint8_t>& out) {
  out.insert(out.end(), magic.begin(), magic.end());
  out.push_back(0);  // reserved
}

void write_block_header(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  std::uint8_t framing[max_block_framing];
  out.insert(out.end(), framing, framing + frame_block(type, payload, framing));
}

void write_block(BlockType type, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  write_block_header(type, payload, out);
  out.insert(out.end(), payload.begin(), payload.end());
}

void write_trailer_at_end(std::span<std::uint8_t> document) noexcept {
  const std::size_t before = document.size() - trailer_size;
  frame_trailer(xxh64(document.first(before)), document.data() + before);
}

void assemble_document(std::span<const std::span<const std::uint8_t>> pieces, std::span<std::uint8_t> out,
                       void (*copied)(void* context, std::size_t i, std::size_t n) noexcept, void* context) noexcept {
  // Small enough that a copied stretch is still in the first-level cache
  // when it is hashed.
  constexpr std::size_t stretch = 16 * 1024;
  // How often `copied` hears of progress: a huge page at a time.
  constexpr std::size_t report = std::size_t{2} << 20;
  Xxh64Stream hash;
  std::uint8_t* dst = out.data();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const auto piece = pieces[i];
    for (std::size_t at = 0; at < piece.size(); at += stretch) {
      const std::size_t n = std::min(stretch, piece.size() - at);
      std::memcpy(dst, piece.data() + at, n);
      hash.update({dst, n});
      dst += n;
      if (copied != nullptr && ((at + n) % report == 0 || at + n == piece.size())) copied(context, i, at + n);
    }
  }
  frame_trailer(hash.digest(), dst);
}

// ---- Sources ----

Result<std::size_t> StreamSource::fill(std::uint64_t pos, std::size_t n) {
  const std::uint64_t want = pos + n;
  while (base_ + have_ < want && !eof_) {
    const auto need = static_cast<std::size_t>(want - base_);
    if (need > capacity_) {
      // Doubling for the small reads of the framing; a payload gets exactly
      // its room, so a block is held once, not twice.
      const std::size_t size = std::max(need, std::min(capacity_ * 2, need + 4096));
      std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[size]);  // sized by checked framing only
      if (have_ != 0) std::memcpy(bigger.get(), buf_.get(), have_);
      buf_ = std::move(bigger);
      capacity_ = size;
    }
    TUVAX_TRY(const std::size_t got, read_some(buf_.get() + have_, need - have_));
    if (got == 0) eof_ = true;
    have_ += got;
  }
  const std::uint64_t end = base_ + have_;
  return pos >= end ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, end - pos));
}

void StreamSource::release(std::uint64_t pos) noexcept {
  if (pos <= base_) return;
  const auto drop = static_cast<std::size_t>(std::min<std::uint64_t>(pos - base_, have_));
  std::memmove(buf_.get(), buf_.get() + drop, have_ - drop);
  have_ -= drop;
  base_ += drop;
  // A large block's room goes with it; the next one asks for its own.
  if (capacity_ > (std::size_t{1} << 20) && have_ < (std::size_t{1} << 16)) {
    std::unique_ptr<std::uint8_t[]> smaller(new (std::nothrow) std::uint8_t[std::size_t{1} << 16]);
    if (smaller) {
      std::memcpy(smaller.get(), buf_.get(), have_);
      buf_ = std::move(smaller);
      capacity_ = std::size_t{1} << 16;
    }
  }
}

Result<std::size_t> FdSource::read_some(std::uint8_t* out, std::size_t n) {
  for (;;) {
    if (!blocking_.enter()) return std::unexpected(TuvaxError::io(EINTR));
    const ssize_t r = ::read(fd_, out, n);
    const int err = errno;
    blocking_.leave();
    if (r >= 0) return static_cast<std::size_t>(r);
    if (err != EINTR || !blocking_.retry()) return std::unexpected(TuvaxError::io(err));
  }
}

// ---- Reading blocks ----

namespace {

const char* decompression_message(std::uint8_t code) noexcept {
  switch (code) {
    case 1: return "zstd decompression not available (enable 'zstd' feature)";
    case 2: return "snappy decompression not available (enable 'snappy' feature)";
    default: return "lz4 decompression not available (enable 'lz4' feature)";
  }
}

bool is_known_block_type(std::uint8_t t) noexcept {
  return (t >= static_cast<std::uint8_t>(BlockType::Data) && t <= static_cast<std::uint8_t>(BlockType::StringDict)) ||
         t == static_cast<std::uint8_t>(BlockType::Trailer);
}

}  // namespace

TuvaxError BlockReader::located(TuvaxError e) const {
  if (started_) e.in_block(index_, block_at_);
  return e;
}

Result<Block> BlockReader::next() {
  if (failure_) return std::unexpected(*failure_);
  auto block = read_block();
  if (!block) {
    // An error of the input repeats; a failed read (Io) may be retried by a
    // caller that fixed its cause, from where it stopped.
    if (block.error().kind() != ErrorKind::Io) failure_ = block.error();
    return block;
  }
  return block;
}

Result<void> BlockReader::read_header() {
  TUVAX_TRY(const std::size_t have, source_.fill(0, header_size));
  if (have < header_size) return std::unexpected(TuvaxError::unexpected_eof(have));
  if (std::memcmp(source_.at(0), magic.data(), magic.size()) != 0) return std::unexpected(TuvaxError::invalid_magic());
  reserved_ = *source_.at(magic.size());
  header_read_ = true;
  pos_ = header_size;
  hash_through(pos_);
  return {};
}

void BlockReader::hash_through(std::uint64_t to) noexcept {
  if (to > hashed_) hash_.update({source_.at(hashed_), static_cast<std::size_t>(to - hashed_)});
  hashed_ = to;
}

Result<std::uint64_t> BlockReader::read_varint_at(std::uint64_t pos, std::uint64_t& after) {
  // One byte at a time, up to the last: a sender that wrote a whole length
  // and waits must not be waited for in turn.
  std::size_t have = 0;
  while (have < max_varint_len) {
    TUVAX_TRY(const std::size_t got, source_.fill(pos + have, 1));
    if (got == 0) break;
    if (*source_.at(pos + have++) < 0x80) break;
  }
  // Decoded within what exists, so its errors and offsets are those of the
  // whole input in memory.
  auto v = decode_varint(source_.at(pos), have, 0);
  if (!v) return std::unexpected(std::move(v.error().rebase(pos)));
  after = pos + v->consumed;
  return v->value;
}

Result<Block> BlockReader::read_block() {
  if (finished_) return std::unexpected(located(TuvaxError::invalid_data("read past the trailer")));
  if (!header_read_) TUVAX_TRY_VOID(read_header());
  if (started_ && block_at_ != pos_) ++index_;  // not when a failed read is tried again
  started_ = true;
  block_at_ = pos_;
  source_.release(pos_);  // the previous block's payload goes

  // Blocks end only at a trailer: input that stops between blocks is cut short.
  TUVAX_TRY(const std::size_t have, source_.fill(pos_, 1));
  if (have == 0) return std::unexpected(located(TuvaxError::unexpected_eof(pos_)));
  const std::uint8_t type = *source_.at(pos_);
  if (!is_known_block_type(type)) return std::unexpected(located(TuvaxError::invalid_block_type(type)));
  if (type == static_cast<std::uint8_t>(BlockType::Trailer)) return read_trailer();

  std::uint64_t at = pos_ + 1;
  auto length = read_varint_at(at, at);
  if (!length) return std::unexpected(located(std::move(length).error()));
  if (*length > limits_.max_block_size)
    return std::unexpected(located(TuvaxError::block_too_large(*length, limits_.max_block_size)));

  TUVAX_TRY(const std::size_t has_compression, source_.fill(at, 1));
  if (has_compression == 0) return std::unexpected(located(TuvaxError::unexpected_eof(at)));
  const std::uint8_t compression = *source_.at(at++);
  if (compression > static_cast<std::uint8_t>(Compression::Lz4))
    return std::unexpected(located(TuvaxError::unknown_compression(compression)));

  TUVAX_TRY(const std::size_t has_checksum, source_.fill(at, checksum_size));
  if (has_checksum < checksum_size) return std::unexpected(located(TuvaxError::unexpected_eof(at)));
  const std::uint64_t stored = load_le64(source_.at(at));
  at += checksum_size;

  // length <= max_block_size, so the sizes below cannot wrap.
  const std::uint64_t start = at;
  const auto size = static_cast<std::size_t>(*length);
  TUVAX_TRY(const std::size_t has_payload, source_.fill(start, size));
  if (has_payload < size) return std::unexpected(located(TuvaxError::unexpected_eof(start + size)));
  const std::span<const std::uint8_t> payload(source_.at(start), size);

  const bool string_dict = type == static_cast<std::uint8_t>(BlockType::StringDict);
  // A dictionary is taken as stored whatever its compression byte says; no
  // decompressor is built in for the rest, whose declared size is all that
  // is read.
  if (!string_dict && compression != static_cast<std::uint8_t>(Compression::None)) {
    auto declared = decode_varint(payload.data(), size, 0);
    if (!declared) return std::unexpected(located(std::move(declared.error().rebase(start))));
    if (declared->value > limits_.max_block_size)
      return std::unexpected(located(TuvaxError::block_too_large(declared->value, limits_.max_block_size)));
    return std::unexpected(located(TuvaxError::decompression(decompression_message(compression))));
  }
  if (const std::uint64_t actual = xxh64(payload); actual != stored)
    return std::unexpected(located(TuvaxError::checksum_mismatch(stored, actual)));
  pos_ = start + size;
  hash_through(pos_);
  return Block{static_cast<BlockType>(type), compression, index_, block_at_, start, payload};
}

Result<Block> BlockReader::read_trailer() {
  const std::uint64_t at = pos_;
  TUVAX_TRY(const std::size_t have, source_.fill(at, trailer_size));
  if (have < trailer_size) return std::unexpected(located(TuvaxError::unexpected_eof(at + have)));
  const std::uint8_t* t = source_.at(at);
  if (t[1] != trailer_payload_size || t[2] != static_cast<std::uint8_t>(Compression::None))
    return std::unexpected(located(TuvaxError::invalid_data("Malformed trailer block")));
  const std::span<const std::uint8_t> payload(t + trailer_payload_at, trailer_payload_size);
  const std::uint64_t stored_checksum = load_le64(t + trailer_checksum_at);
  if (const std::uint64_t actual = xxh64(payload); actual != stored_checksum)
    return std::unexpected(located(TuvaxError::checksum_mismatch(stored_checksum, actual)));
  // The file hash covers every byte before the trailer's type byte.
  hash_through(at);
  const std::uint64_t stored_hash = load_le64(payload.data());
  if (const std::uint64_t actual = hash_.digest(); actual != stored_hash)
    return std::unexpected(located(TuvaxError::checksum_mismatch(stored_hash, actual)));
  // Nothing after the trailer's 19 bytes is examined.
  pos_ = at + trailer_size;
  finished_ = true;
  return Block{BlockType::Trailer, 0, index_, at, at + trailer_payload_at, payload};
}

// ---- Sinks and writing blocks ----

Result<void> FdSink::write(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (!blocking_.enter()) return std::unexpected(TuvaxError::io(EINTR));
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    const int err = errno;
    blocking_.leave();
    if (n < 0) {
      if (err == EINTR && blocking_.retry()) continue;
      return std::unexpected(TuvaxError::io(err));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

bool FdSink::truncate(std::uint64_t size) noexcept {
  if (!own_file_ || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  const auto at = static_cast<off_t>(size);
  int r;
  do r = ::ftruncate(fd_, at);
  while (r != 0 && errno == EINTR);
  return r == 0 && ::lseek(fd_, at, SEEK_SET) == at;
}

bool BlockWriter::rewind(const Mark& m) noexcept {
  if (!sink_.truncate(m.written)) return false;
  hash_ = m.hash;
  written_ = m.written;
  header_written_ = m.header_written;
  return true;
}

Result<void> BlockWriter::put(std::span<const std::uint8_t> bytes) {
  TUVAX_TRY_VOID(sink_.write(bytes));
  hash_.update(bytes);
  written_ += bytes.size();
  return {};
}

Result<void> BlockWriter::write_header() {
  if (header_written_) return {};
  std::uint8_t header[header_size] = {};
  std::memcpy(header, magic.data(), magic.size());
  TUVAX_TRY_VOID(put(header));
  header_written_ = true;
  return {};
}

Result<void> BlockWriter::write_block(BlockType type, std::span<const std::uint8_t> payload) {
  TUVAX_TRY_VOID(write_header());
  std::uint8_t framing[max_block_framing];
  TUVAX_TRY_VOID(put({framing, frame_block(type, payload, framing)}));
  return put(payload);
}

Result<void> BlockWriter::finish() {
  TUVAX_TRY_VOID(write_header());
  std::uint8_t trailer[trailer_size];
  frame_trailer(hash_.digest(), trailer);
  TUVAX_TRY_VOID(sink_.write(trailer));
  written_ += trailer_size;
  return {};
}

// ---- Files ----

namespace {

constexpr int max_symlink_hops = 40;        // the kernel's own limit before ELOOP
constexpr std::size_t max_temp_stem = 200;  // keeps ".{stem}.{tag}.tmp" under NAME_MAX

std::unexpected<TuvaxError> io_error(int err) { return std::unexpected(TuvaxError::io(err)); }

std::string dir_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Result<std::string> read_link(const std::string& path) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return io_error(errno);
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);  // possibly truncated: try again with more room
  }
}

// open(2) as a blocking call: a FIFO's open waits for its other end.
Result<int> open_file(const std::string& path, int flags, Blocking& blocking, mode_t mode = 0) {
  for (;;) {
    if (!blocking.enter()) return io_error(EINTR);
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    const int err = errno;
    blocking.leave();
    if (fd >= 0) return fd;
    if (err != EINTR || !blocking.retry()) return io_error(err);
  }
}

Result<void> sync_fd(int fd, Blocking& blocking) {
  for (;;) {
    if (!blocking.enter()) return io_error(EINTR);
    const int r = ::fsync(fd);
    const int err = errno;
    blocking.leave();
    if (r == 0) return {};
    if (err != EINTR || !blocking.retry()) return io_error(err);
  }
}

// A name no other writer picks: pid, a per-process counter and the clock.
std::string temp_name(const std::string& dir, const std::string& base) {
  static std::atomic<std::uint64_t> counter{0};
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::uint64_t x = (static_cast<std::uint64_t>(::getpid()) << 32) ^ counter.fetch_add(1) ^
                    (static_cast<std::uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ull) ^
                    static_cast<std::uint64_t>(ts.tv_sec);
  x ^= x >> 31;
  char tag[24];
  std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(x));
  return dir + "/." + base.substr(0, max_temp_stem) + "." + tag + ".tmp";
}

}  // namespace

AtomicFile::~AtomicFile() { abandon(); }

void AtomicFile::abandon() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  sink_.reset();
}

Result<void> AtomicFile::open(const std::string& path, Blocking& blocking) {
  abandon();
  blocking_ = &blocking;
  if (path.empty()) return io_error(ENOENT);

  // Resolve symbolic links one hop at a time, so that a dangling link still
  // names the file to create.
  std::string target = path;
  struct stat st {};
  bool exists = false;
  for (int hops = 0;; ++hops) {
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno != ENOENT) return io_error(errno);
      break;
    }
    if (!S_ISLNK(st.st_mode)) {
      exists = true;
      break;
    }
    if (hops == max_symlink_hops) return io_error(ELOOP);
    TUVAX_TRY(const std::string link, read_link(target));
    target = (!link.empty() && link.front() == '/') ? link : dir_of(target) + "/" + link;
  }
  if (exists && S_ISDIR(st.st_mode)) return io_error(EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a FIFO has no contents to keep: written in place.
    TUVAX_TRY(fd_, open_file(target, O_WRONLY | O_CREAT | O_TRUNC, blocking, 0666));
    target_ = target;
    sink_ = std::make_unique<FdSink>(fd_, blocking);
    return {};
  }
  // Renaming over a file needs only a writable directory; a file we may not
  // write stays refused, as opening it for writing would be.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return io_error(errno);
  // "name/" for a missing name: opening it for writing would say the same.
  if (target.back() == '/') return io_error(EISDIR);

  const std::string dir = dir_of(target);
  const std::string base = base_of(target);
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    std::string name = temp_name(dir, base);
    // 0666 here lets the kernel apply the umask; reading the umask instead
    // would mean changing it, which races with other threads.
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) temp_ = std::move(name);
    else if (errno != EEXIST) return io_error(errno);
  }
  if (fd_ < 0) return io_error(EEXIST);
  if (exists) {
    // Ownership first: changing it may clear set-id bits that fchmod restores.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) (void)::fchown(fd_, st.st_uid, st.st_gid);
    if (::fchmod(fd_, st.st_mode & 07777) != 0) {
      const int err = errno;
      abandon();
      return io_error(err);
    }
  }
  target_ = target;
  sink_ = std::make_unique<FdSink>(fd_, blocking, /*own_file=*/true);
  return {};
}

Result<void> AtomicFile::commit() {
  if (fd_ < 0) return io_error(EBADF);
  if (!temp_.empty()) {
    if (auto r = sync_fd(fd_, *blocking_); !r) {
      abandon();
      return r;
    }
  }
  const int fd = std::exchange(fd_, -1);
  // Don't retry close on EINTR: Linux has released the descriptor. Its error
  // can mean lost data.
  if (::close(fd) != 0) {
    const int err = errno;
    abandon();
    return io_error(err);
  }
  sink_.reset();
  if (temp_.empty()) return {};
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    abandon();
    return io_error(err);
  }
  temp_.clear();
  // Make the rename itself durable. The data is already safe under one of
  // the two names, so a directory that cannot be synced is no failure.
  const int dir_fd = ::open(dir_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)sync_fd(dir_fd, *blocking_);
    ::close(dir_fd);
  }
  return {};
}

Result<void> replace_file(const std::string& path, std::span<const std::uint8_t> document, Blocking& blocking) {
  AtomicFile file;
  TUVAX_TRY_VOID(file.open(path, blocking));
  TUVAX_TRY_VOID(file.sink().write(document));
  return file.commit();
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> InputFile::open(const std::string& path, Blocking& blocking) {
  TUVAX_TRY(const int fd, open_file(path, O_RDONLY, blocking));
  fd_ = fd;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return io_error(errno);
  if (S_ISDIR(st.st_mode)) return io_error(EISDIR);
  return {};
}

}  // namespace tuvax
