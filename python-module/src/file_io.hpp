#ifndef TUVAX_PY_FILE_IO_HPP
#define TUVAX_PY_FILE_IO_HPP

#include "python.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tuvax::py {

// ---- Plain file access; failures are errno values ----

// Replaces the file at `path` with `data` so that a failure at any point
// leaves the old contents whole: the bytes go to a new file in the same
// directory, are flushed to disk, and the new file is renamed over the old.
// A new file gets 0666 less the umask, an existing one keeps its mode (and
// its owner, where permitted). A symbolic link is followed and the file it
// names is replaced. An existing target that is not a regular file (a
// device, a FIFO) is written in place. A directory is EISDIR.
[[nodiscard]] std::expected<void, int> replace_file(const std::string& path, std::span<const std::uint8_t> data);

// The whole file, read into one buffer sized from its length.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, int> read_file(const std::string& path);

// ---- The same, failures raised as OSError ----

// OSError "file name contained an unexpected NUL byte" before any system
// call, or the mapped OSError of the failing call. false: exception set.
[[nodiscard]] bool write_output(std::string_view path, std::span<const std::uint8_t> data);
[[nodiscard]] std::optional<std::vector<std::uint8_t>> read_input(std::string_view path);

}  // namespace tuvax::py

#endif  // TUVAX_PY_FILE_IO_HPP
