#include "python.hpp"

#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>  // std::max
#include <atomic>
#include <cerrno>
#include <cstdio>   // std::snprintf
#include <cstring>  // std::memcmp, std::memcpy
#include <utility>

#include "errors.hpp"
#include "tuvax/framing.hpp"
#include "tuvax/varint.hpp"

namespace tuvax::py {
namespace {

constexpr int max_symlink_hops = 40;  // the kernel's own limit before ELOOP
constexpr std::size_t max_temp_stem = 200;  // keeps ".{stem}.{tag}.tmp" under NAME_MAX

// Closes on scope exit unless released; errors of that close are moot
// because the operation already failed.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  // Closes now and reports the result; a close error can mean lost data.
  int close() noexcept {
    const int r = ::close(fd_);
    fd_ = -1;  // Don't retry close on EINTR: Linux has released the descriptor.
    return r;
  }

 private:
  int fd_;
};

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

std::expected<std::string, int> read_link(const std::string& path) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);  // possibly truncated: try again with more room
  }
}

// open(2) that runs the signal policy on EINTR: a FIFO's open blocks
// until its other end opens.
int open_retrying(const char* path, int flags, Interrupts& interrupts, mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR || !interrupts.retry()) return fd;
  }
}

int write_all(int fd, std::span<const std::uint8_t> data, Interrupts& interrupts) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR && interrupts.retry()) continue;
      return errno;
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

int sync_fd(int fd, Interrupts& interrupts) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR || !interrupts.retry()) return errno;
  }
  return 0;
}

std::expected<void, int> write_in_place(const std::string& path, std::span<const std::uint8_t> data,
                                        Interrupts& interrupts) {
  Fd fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, interrupts, 0666));
  if (fd.get() < 0) return std::unexpected(errno);
  if (const int err = write_all(fd.get(), data, interrupts)) return std::unexpected(err);
  if (fd.close() != 0) return std::unexpected(errno);
  return {};
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

// Removes the temporary file unless the rename has taken it.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const noexcept { return path_; }
  void keep() noexcept { path_.clear(); }

 private:
  std::string path_;
};

// Lets other threads run during blocking system calls. The destructor takes
// the lock back on every exit, a C++ exception included, so the guard of
// the entry point always runs with it held. A call interrupted by a signal
// takes the lock for a moment to run the interpreter's handlers (Ctrl-C's
// among them), and is retried only if none raised.
class GilReleased final : public Interrupts {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased() { PyEval_RestoreThread(state_); }

  bool retry() override {
    PyEval_RestoreThread(state_);
    const bool ok = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return ok;
  }

 private:
  PyThreadState* state_;
};

// ---- Reading a document as far as its framing allows ----

class FramedReader {
 public:
  FramedReader(int fd, Interrupts& interrupts) noexcept : fd_(fd), interrupts_(interrupts) {}

  // Reads the bytes decoding will examine, following the framing (see
  // read_document in the header). 0, or the errno of a failed read.
  int read_document(const Limits& limits) {
    if (const int err = ensure(header_size)) return err;
    if (have_ < header_size || std::memcmp(buf_.get(), magic.data(), magic.size()) != 0) return 0;
    std::size_t pos = header_size;
    for (;;) {
      // One byte first: a trailer may be the last thing a writer sends
      // before it waits, so asking for more would hang on a pipe.
      if (const int err = ensure(pos + 1)) return err;
      if (have_ <= pos) return 0;  // no trailer: the decoder says where input ended
      const std::uint8_t type = buf_[pos];
      if (type == static_cast<std::uint8_t>(BlockType::Trailer)) return ensure(pos + trailer_size);
      if (type < static_cast<std::uint8_t>(BlockType::Data) || type > static_cast<std::uint8_t>(BlockType::StringDict))
        return 0;
      // Each check below needs only the bytes before it, so they are read
      // one field at a time: a forged length is refused without waiting
      // for bytes that a sender may never write.
      const std::size_t length_at = pos + 1;
      for (std::size_t i = 0; i < max_varint_len; ++i) {
        if (const int err = ensure(length_at + i + 1)) return err;
        if (have_ <= length_at + i || buf_[length_at + i] < 0x80) break;
      }
      const auto length = decode_varint(buf_.get(), have_, length_at);
      if (!length || length->value > limits.max_block_size) return 0;
      const std::size_t compression_at = length_at + length->consumed;
      if (const int err = ensure(compression_at + 1)) return err;
      if (have_ <= compression_at || buf_[compression_at] > static_cast<std::uint8_t>(Compression::Lz4)) return 0;
      const std::uint8_t compression = buf_[compression_at];
      // length <= max_block_size, so the sum cannot wrap.
      const std::size_t end = compression_at + 1 + 8 + static_cast<std::size_t>(length->value);
      if (const int err = ensure(end)) return err;
      if (have_ < end) return 0;
      // No decompressor is built in: such a data block ends decoding.
      if (compression != static_cast<std::uint8_t>(Compression::None) &&
          type != static_cast<std::uint8_t>(BlockType::StringDict))
        return 0;
      pos = end;
    }
  }

  FileBytes take() && noexcept { return FileBytes{std::move(buf_), have_}; }

 private:
  // At least `n` bytes held, or all there are. Only called when the bytes
  // are needed, and never reads past them, so a read never waits for data
  // decoding can do without, and whatever follows the document (the rest of
  // a file, the next document on a pipe) stays unread.
  int ensure(std::size_t n) {
    if (have_ >= n || eof_) return 0;
    if (capacity_ < n) grow(n);
    while (have_ < n) {
      const ssize_t r = ::read(fd_, buf_.get() + have_, n - have_);
      if (r < 0) {
        if (errno == EINTR && interrupts_.retry()) continue;
        return errno;
      }
      if (r == 0) {
        eof_ = true;
        break;
      }
      have_ += static_cast<std::size_t>(r);
    }
    return 0;
  }

  // The header alone comes first, so that a device full of garbage costs
  // eight bytes; after it the room doubles, never more than twice what the
  // framing vouched for.
  void grow(std::size_t n) {
    const std::size_t size = capacity_ == 0 ? n : std::max(n, capacity_ * 2);
    // Default-initialised: bytes about to be overwritten need no zeroing.
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[size]);
    if (have_ != 0) std::memcpy(bigger.get(), buf_.get(), have_);
    buf_ = std::move(bigger);
    capacity_ = size;
  }

  int fd_;
  Interrupts& interrupts_;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t capacity_ = 0;
  std::size_t have_ = 0;
  bool eof_ = false;
};

}  // namespace

std::expected<void, int> replace_file(const std::string& path, std::span<const std::uint8_t> data,
                                      Interrupts& interrupts) {
  if (path.empty()) return std::unexpected(ENOENT);

  // Resolve symbolic links one hop at a time, so that a dangling link still
  // names the file to create.
  std::string target = path;
  struct stat st {};
  bool exists = false;
  for (int hops = 0;; ++hops) {
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno != ENOENT) return std::unexpected(errno);
      break;
    }
    if (!S_ISLNK(st.st_mode)) {
      exists = true;
      break;
    }
    if (hops == max_symlink_hops) return std::unexpected(ELOOP);
    auto link = read_link(target);
    if (!link) return std::unexpected(link.error());
    target = (!link->empty() && link->front() == '/') ? *link : dir_of(target) + "/" + *link;
  }
  if (exists && S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(target, data, interrupts);
  // Renaming over a file needs only a writable directory; a file we may not
  // write stays refused, as opening it for writing would be.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return std::unexpected(errno);
  // "name/" for a missing name: opening it for writing would say the same.
  if (target.back() == '/') return std::unexpected(EISDIR);

  const std::string dir = dir_of(target);
  const std::string base = base_of(target);
  int fd_raw = -1;
  std::string tmp_path;
  for (int attempt = 0; attempt < 100 && fd_raw < 0; ++attempt) {
    tmp_path = temp_name(dir, base);
    // 0666 here lets the kernel apply the umask; reading the umask instead
    // would mean changing it, which races with other threads.
    fd_raw = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_raw < 0 && errno != EEXIST) return std::unexpected(errno);
  }
  if (fd_raw < 0) return std::unexpected(EEXIST);
  Fd fd(fd_raw);
  TempFile tmp(tmp_path);

  if (exists) {
    // Ownership first: changing it may clear set-id bits that fchmod restores.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) (void)::fchown(fd.get(), st.st_uid, st.st_gid);
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0) return std::unexpected(errno);
  }
  if (const int err = write_all(fd.get(), data, interrupts)) return std::unexpected(err);
  if (const int err = sync_fd(fd.get(), interrupts)) return std::unexpected(err);
  if (fd.close() != 0) return std::unexpected(errno);
  if (::rename(tmp.path().c_str(), target.c_str()) != 0) return std::unexpected(errno);
  tmp.keep();

  // Make the rename itself durable. The data is already safe under one of
  // the two names, so a directory that cannot be synced is no failure.
  Fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() >= 0) (void)sync_fd(dir_fd.get(), interrupts);
  return {};
}

std::expected<FileBytes, int> read_document(const std::string& path, const Limits& limits, Interrupts& interrupts) {
  Fd fd(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, interrupts));
  if (fd.get() < 0) return std::unexpected(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(errno);
  if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  FramedReader in(fd.get(), interrupts);
  if (const int err = in.read_document(limits)) return std::unexpected(err);
  return std::move(in).take();
}

bool write_output(std::string_view path, std::span<const std::uint8_t> data) {
  if (path.find('\0') != std::string_view::npos) {
    raise_nul_in_path();
    return false;
  }
  const std::string p(path);  // our own copy: the str object is not touched below
  std::expected<void, int> r;
  {
    GilReleased released;
    r = replace_file(p, data, released);
  }
  if (!r) {
    // A signal handler raised: its exception, not an OSError, ends the call.
    if (r.error() == EINTR && PyErr_Occurred()) return false;
    raise_os_error(r.error(), path);
    return false;
  }
  return true;
}

std::optional<FileBytes> read_input(std::string_view path, const Limits& limits) {
  if (path.find('\0') != std::string_view::npos) {
    raise_nul_in_path();
    return std::nullopt;
  }
  const std::string p(path);
  std::expected<FileBytes, int> r;
  {
    GilReleased released;
    r = read_document(p, limits, released);
  }
  if (!r) {
    if (r.error() == EINTR && PyErr_Occurred()) return std::nullopt;
    raise_os_error(r.error(), path);
    return std::nullopt;
  }
  return std::move(*r);
}

}  // namespace tuvax::py
