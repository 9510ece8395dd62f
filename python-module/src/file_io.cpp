#include "python.hpp"

#include "file_io.hpp"

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "document.hpp"
#include "errors.hpp"
#include "tuvax/decoder.hpp"

namespace tuvax::py {
namespace {

bool has_nul(std::string_view path) {
  if (path.find('\0') == std::string_view::npos) return false;
  raise_nul_in_path();
  return true;
}

}  // namespace

bool write_output(std::string_view path, std::span<const std::uint8_t> data) {
  if (has_nul(path)) return false;
  GilBlocking blocking;
  if (auto r = replace_file(std::string(path), data, blocking); !r) {
    raise_file_error(CoreStep::Finish, r.error(), path);
    return false;
  }
  return true;
}

PyRef decode_file(std::string_view path) {
  if (has_nul(path)) return {};
  GilBlocking blocking;
  InputFile file;
  if (auto r = file.open(std::string(path), blocking); !r) {
    raise_file_error(CoreStep::Decode, r.error(), path);
    return {};
  }
  FdSource source(file.fd(), blocking);
  Decoder decoder(source);
  auto items = decode_all(decoder, path);
  if (!items) return {};
  return single_or_list(std::move(*items));
}

}  // namespace tuvax::py
