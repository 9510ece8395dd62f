#include "python.hpp"

#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>  // std::snprintf

#include "errors.hpp"

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

int write_all(int fd, std::span<const std::uint8_t> data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

int sync_fd(int fd) noexcept {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

std::expected<void, int> write_in_place(const std::string& path, std::span<const std::uint8_t> data) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return std::unexpected(errno);
  if (const int err = write_all(fd.get(), data)) return std::unexpected(err);
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

}  // namespace

std::expected<void, int> replace_file(const std::string& path, std::span<const std::uint8_t> data) {
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
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(target, data);
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
  if (const int err = write_all(fd.get(), data)) return std::unexpected(err);
  if (const int err = sync_fd(fd.get())) return std::unexpected(err);
  if (fd.close() != 0) return std::unexpected(errno);
  if (::rename(tmp.path().c_str(), target.c_str()) != 0) return std::unexpected(errno);
  tmp.keep();

  // Make the rename itself durable. The data is already safe under one of
  // the two names, so a directory that cannot be synced is no failure.
  Fd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() >= 0) (void)sync_fd(dir_fd.get());
  return {};
}

std::expected<std::vector<std::uint8_t>, int> read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::unexpected(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(errno);
  if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  const std::size_t hint = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  // One byte more than the length, so that the read reporting the end does
  // not need a bigger buffer; files that grow meanwhile still read whole.
  std::vector<std::uint8_t> out(hint + 1);
  std::size_t len = 0;
  for (;;) {
    if (len == out.size()) out.resize(out.size() < 4096 ? 8192 : out.size() * 2);
    const ssize_t n = ::read(fd.get(), out.data() + len, out.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    len += static_cast<std::size_t>(n);
  }
  out.resize(len);
  return out;
}

bool write_output(std::string_view path, std::span<const std::uint8_t> data) {
  if (path.find('\0') != std::string_view::npos) {
    raise_nul_in_path();
    return false;
  }
  if (auto r = replace_file(std::string(path), data); !r) {
    raise_os_error(r.error());
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> read_input(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    raise_nul_in_path();
    return std::nullopt;
  }
  auto r = read_file(std::string(path));
  if (!r) {
    raise_os_error(r.error());
    return std::nullopt;
  }
  return std::move(*r);
}

}  // namespace tuvax::py
