#include "python.hpp"

#include "text_convert.hpp"

#include <array>
#include <cstddef>
#include <cstdint>  // std::uintptr_t
#include <span>
#include <string_view>

#include "errors.hpp"
#include "py_builder.hpp"
#include "py_str.hpp"
#include "py_walk.hpp"
#include "tuvax/detail/text_writer.hpp"
#include "tuvax/text.hpp"

namespace tuvax::py {
namespace {

// The walk's events, handed to the core's writer, which lays them out. Its
// own failures (nesting, memory) are kept there while the walk goes on, so
// that a conversion error anywhere in the object still wins; the container
// it refuses, if it does, is kept here.
struct TextSink : WalkState {
  TextSink(tuvax::detail::OutputBuffer& out, std::uint64_t indent) noexcept : w(out, indent) {}

  bool null() { return w.null(), true; }
  bool boolean(bool b) { return w.boolean(b), true; }
  bool uint(std::uint64_t u) { return w.uint(u), true; }
  bool integer(std::int64_t i) { return w.integer(i), true; }
  bool real(double d) { return w.real(d), true; }
  bool str(std::string_view s) { return w.str(s), true; }
  bool bytes(std::span<const std::uint8_t> b) { return w.bytes(b), true; }
  // `seq` is a list or a tuple, or a subclass of either. Null, booleans,
  // numbers and strings are inline; bytes, containers (and anything the
  // walk will refuse, or hand to a default hook) are not.
  bool begin_array(PyObject* seq, Py_ssize_t n) {
    PyObject** items = PySequence_Fast_ITEMS(seq);
    const auto inline_at = [items](std::size_t i) {
      PyObject* item = items[i];
      return item == Py_None ||
             PyType_HasFeature(Py_TYPE(item), Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS) ||
             PyFloat_Check(item);
    };
    if (!w.begin_array(static_cast<std::size_t>(n), inline_at)) refused = seq;
    return true;
  }
  bool end_array() { return w.end_array(), true; }
  bool begin_object(PyObject* map, Py_ssize_t n) {
    if (!w.begin_object(static_cast<std::size_t>(n))) refused = map;
    return true;
  }
  bool key(std::string_view k) {
    if (!memo_keys) return w.key(k), true;
    // A document repeats a few keys thousands of times, the same str
    // objects: their form is kept by where their UTF-8 lies. While nothing
    // is freed during the walk, that address stands for one key.
    const auto hash = (reinterpret_cast<std::uintptr_t>(k.data()) * 0x9E3779B97F4A7C15ULL) >> 56;
    KeyMemo& m = key_memo[hash];
    if (m.data != k.data() || m.size != k.size()) m = {k.data(), k.size(), tuvax::detail::key_form(k)};
    return w.key(k, m.form), true;
  }
  bool end_object() { return w.end_object(), true; }

  tuvax::detail::TextWriter w;
  PyObject* refused = nullptr;  // the container the writer refused
  // Only a walk that runs no Python code frees nothing on the way: one
  // that holds its members runs hooks, whose results come and go (the
  // caller turns this off for it), and without the GIL other threads free
  // what they like.
#ifdef Py_GIL_DISABLED
  bool memo_keys = false;
#else
  bool memo_keys = true;
#endif
  struct KeyMemo {
    const char* data = nullptr;
    std::size_t size = 0;
    tuvax::detail::KeyForm form = tuvax::detail::KeyForm::quoted;
  };
  std::array<KeyMemo, 256> key_memo{};  // indexed by the top 8 bits of the hash
};

// The output buffer, kept from one call to the next on each thread: a text
// of megabytes written into fresh memory spends more time in the kernel
// supplying pages than in writing. A buffer grown past this is given back.
constexpr std::size_t kept_buffer_limit = std::size_t{16} << 20;

struct KeptBuffer {
  tuvax::detail::OutputBuffer buffer;
  bool busy = false;  // a nested call (a finalizer run by an allocation) gets its own
};

thread_local KeptBuffer kept;

// Takes the thread's buffer when it is free, and leaves it empty again.
class BufferLease {
 public:
  BufferLease() noexcept : own_(kept.busy) {
    if (!own_) kept.busy = true;
  }
  BufferLease(const BufferLease&) = delete;
  BufferLease& operator=(const BufferLease&) = delete;
  ~BufferLease() {
    if (own_) return;
    if (kept.buffer.capacity() > kept_buffer_limit) {
      kept.buffer.release();
    } else {
      kept.buffer.clear();
    }
    kept.busy = false;
  }
  tuvax::detail::OutputBuffer& get() noexcept { return own_ ? local_ : kept.buffer; }

 private:
  const bool own_;
  tuvax::detail::OutputBuffer local_;
};

}  // namespace

namespace {

// One walk into the thread's buffer. `again`: the walk met Python code it
// cannot run with Sink, and wrote nothing that stays.
template <class Sink>
PyObject* print_walk(PyObject* obj, std::uint64_t indent, WalkMode mode, bool& again) {
  BufferLease lease;
  Sink sink(lease.get(), indent);
  if constexpr (Sink::holds_members) sink.memo_keys = false;
  sink.set_mode(mode);
  if (!walk_py(sink, obj)) {
    again = sink.needs_holding();
    return nullptr;
  }
  const tuvax::detail::TextWriter& w = sink.w;
  if (!w.ok()) {
    auto path = locate_py(obj, sink.refused, mode.without_hook());
    raise_core_error(CoreStep::Format, *w.error());
    add_path_note(path);
    return nullptr;
  }
  // The text is well-formed UTF-8: its strings and keys came from str
  // objects, everything else is ASCII.
  return str_from_utf8_widest(w.buffer().view(), w.widest());
}

}  // namespace

PyObject* pretty_print_object(PyObject* obj, std::uint64_t indent, WalkMode mode) {
  // As for encode: holding what it walks only once it is about to run
  // Python code.
  bool again = false;
  PyObject* text = print_walk<TextSink>(obj, indent, mode, again);
  if (!again) return text;
  return print_walk<Holding<TextSink>>(obj, indent, mode, again);
}

PyObject* parse_text_object(std::string_view text, std::uint64_t* comments) {
  // Whatever a failed parse left in the builder goes with it.
  ObjectBuilder builder;
  ParseCounts counts;
  auto done = comments != nullptr ? tuvax::parse_into(text, builder, counts) : tuvax::parse_into(text, builder);
  if (comments != nullptr) *comments = counts.comments;
  if (!done) {
    raise_core_error(CoreStep::Parse, done.error());
    return nullptr;
  }
  if (!*done) return nullptr;  // the builder's own exception
  return builder.take().release();
}

}  // namespace tuvax::py
