#include "python.hpp"

#include "document.hpp"

#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "tuvax/decoder.hpp"

namespace tuvax::py {

bool encode_into(Encoder& encoder, const Value& value) {
  if (auto r = encoder.encode_value(value); !r) {
    raise_core_error(CoreStep::Encode, r.error());
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> finish_encoder(Encoder&& encoder) {
  auto out = std::move(encoder).finish();
  if (!out) {
    raise_core_error(CoreStep::Finish, out.error());
    return std::nullopt;
  }
  return std::move(*out);
}

std::optional<std::vector<std::uint8_t>> encode_document(const Value& value) {
  Encoder encoder;
  if (!encode_into(encoder, value)) return std::nullopt;
  return finish_encoder(std::move(encoder));
}

std::optional<std::vector<PyRef>> decode_document(std::span<const std::uint8_t> data) {
  Decoder decoder(data);
  PyBuilder builder;
  std::vector<PyRef> items;
  // Each tree is converted and dropped as soon as it is decoded, so a large
  // document is never held twice over as Value trees and Python objects.
  for (;;) {
    auto next = decoder.decode_next_owned();
    if (!next) {
      raise_core_error(CoreStep::Decode, next.error());
      return std::nullopt;
    }
    if (!next->has_value()) return items;
    PyRef obj = builder.build(**next);
    if (!obj) return std::nullopt;
    items.push_back(std::move(obj));
  }
}

PyRef list_of(std::vector<PyRef>&& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());  // steals
  }
  items.clear();
  return list;
}

PyRef single_or_list(std::vector<PyRef>&& items) {
  if (items.size() == 1) return std::move(items.front());
  return list_of(std::move(items));
}

PyRef bytes_of(std::span<const std::uint8_t> data) {
  return PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

}  // namespace tuvax::py
