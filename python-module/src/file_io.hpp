#ifndef TUVAX_PY_FILE_IO_HPP
#define TUVAX_PY_FILE_IO_HPP

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>  // std::unique_ptr
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tuvax/limits.hpp"

namespace tuvax::py {

// Bytes read from a file: a plain heap buffer, never a Python object, so it
// may be filled while the interpreter lock is released.
struct FileBytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
  std::span<const std::uint8_t> span() const noexcept { return {data.get(), size}; }
};

// ---- Plain file access; failures are errno values ----

// Asked when a blocking call returns EINTR: true retries it, false gives up
// and the operation fails with EINTR.
class Interrupts {
 public:
  virtual bool retry() = 0;

 protected:
  ~Interrupts() = default;
};

// Replaces the file at `path` with `data` so that a failure at any point
// leaves the old contents whole: the bytes go to a new file in the same
// directory, are flushed to disk, and the new file is renamed over the old.
// A new file gets 0666 less the umask, an existing one keeps its mode (and
// its owner, where permitted). A symbolic link is followed and the file it
// names is replaced. An existing target that is not a regular file (a
// device, a FIFO) is written in place. A directory is EISDIR.
[[nodiscard]] std::expected<void, int> replace_file(const std::string& path, std::span<const std::uint8_t> data,
                                                    Interrupts& interrupts);

// The bytes of the binary document at `path`, read no further than the
// framing verified so far allows: the header first, then each block's fixed
// part, and a payload only once its declared length is within
// `limits.max_block_size`. Reading stops after the trailer, at the end of
// the input, or at the first fault the decoder will report; in every case
// the bytes read are all the decoder examines, so it gives the errors and
// offsets it gives for the whole input in memory. Bytes after the trailer
// are never read, and the buffer grows with what the framing vouched for.
[[nodiscard]] std::expected<FileBytes, int> read_document(const std::string& path, const Limits& limits,
                                                        Interrupts& interrupts);

// ---- The same, failures raised as OSError ----
//
// The file work runs with the interpreter lock released, so other threads
// (a writer feeding the FIFO being read, say) keep running. `data` must not
// belong to a Python object for that reason.

// OSError "file name contained an unexpected NUL byte" before any system
// call, or the mapped OSError of the failing call, with errno, strerror and
// filename set. false: exception set.
[[nodiscard]] bool write_output(std::string_view path, std::span<const std::uint8_t> data);
[[nodiscard]] std::optional<FileBytes> read_input(std::string_view path, const Limits& limits);

}  // namespace tuvax::py

#endif  // TUVAX_PY_FILE_IO_HPP
