#include "python.hpp"

#include "text_convert.hpp"

#include <array>
#include <cstddef>
#include <cstring>  // std::memcpy
#include <span>
#include <string_view>

#include "errors.hpp"
#include "py_builder.hpp"
#include "py_walk.hpp"
#include "tuvax/detail/text_writer.hpp"
#include "tuvax/text.hpp"

namespace tuvax::py {
namespace {

// Receives the walk's events and lays them out through the core's writer.
// The writer's own failures (nesting, memory) are kept there while the walk
// goes on, so that a conversion error anywhere in the object still wins;
// the container it refuses, if it does, is kept here.
class TextSink : public WalkState {
 public:
  TextSink(tuvax::detail::OutputBuffer& out, std::uint64_t indent) noexcept : w_(out, indent) {}

  const tuvax::detail::TextWriter& writer() const noexcept { return w_; }
  // The container the writer refused, or nullptr.
  PyObject* refused() const noexcept { return refused_; }

  bool null() {
    if (prefix()) w_.null(), done();
    return true;
  }
  bool boolean(bool b) {
    if (prefix()) w_.boolean(b), done();
    return true;
  }
  bool uint(std::uint64_t u) {
    if (prefix()) w_.uint(u), done();
    return true;
  }
  bool integer(std::int64_t i) {
    if (prefix()) w_.integer(i), done();
    return true;
  }
  bool real(double d) {
    if (prefix()) w_.real(d), done();
    return true;
  }
  bool str(std::string_view s) {
    if (prefix()) w_.str(s), done();
    return true;
  }
  bool bytes(std::span<const std::uint8_t> b) {
    if (prefix()) w_.bytes(b), done();
    return true;
  }
  bool begin_array(PyObject* seq, Py_ssize_t n) {
    if (!prefix()) return true;
    if (n == 0) {
      if (w_.empty_array()) push(Form::empty);
    } else if (static_cast<std::size_t>(n) <= tuvax::detail::max_inline_elements && all_inline(seq, n)) {
      if (w_.open_inline_array()) push(Form::inline_array);
    } else {
      if (w_.open_block(false)) push(Form::block_array);
    }
    if (!w_.ok()) refused_ = seq;
    return true;
  }
  bool end_array() {
    if (!w_.ok()) return true;
    const Form form = frames_[--depth_].form;
    if (form == Form::inline_array) {
      w_.close_inline_array();
    } else if (form == Form::block_array) {
      w_.close_block(false);
    }
    done();
    return true;
  }
  bool begin_object(PyObject* map, Py_ssize_t n) {
    if (!prefix()) return true;
    if (n == 0) {
      if (w_.empty_object()) push(Form::empty);
    } else {
      if (w_.open_block(true)) push(Form::object);
    }
    if (!w_.ok()) refused_ = map;
    return true;
  }
  bool key(std::string_view k) {
    if (w_.ok()) w_.member(k);
    return true;
  }
  bool end_object() {
    if (!w_.ok()) return true;
    if (frames_[--depth_].form == Form::object) w_.close_block(true);
    done();
    return true;
  }

 private:
  enum class Form : std::uint8_t { empty, inline_array, block_array, object };
  struct Frame {
    Form form;
    bool first;  // no element written yet (block arrays)
  };

  // What comes before a value where it stands; false once the writer failed.
  bool prefix() {
    if (!w_.ok()) return false;
    if (depth_ == 0) return true;
    Frame& f = frames_[depth_ - 1];
    if (f.form == Form::block_array) {
      const bool first = f.first;
      f.first = false;
      return w_.element(first);
    }
    if (f.form == Form::inline_array) {
      if (!f.first) w_.inline_separator();
      f.first = false;
    }
    return w_.ok();  // an object member: the key wrote the prefix
  }
  // After a whole value: an object member ends with ";".
  void done() {
    if (depth_ != 0 && frames_[depth_ - 1].form == Form::object && w_.ok()) w_.member_end();
  }
  void push(Form form) { frames_[depth_++] = {form, true}; }

  // Null, booleans, numbers and strings go on one line; bytes, containers
  // (and anything the walk will refuse, or hand to a default hook) force the
  // block form. `seq` is a list or a tuple, or a subclass of either.
  static bool all_inline(PyObject* seq, Py_ssize_t n) {
    PyObject** items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];
      PyTypeObject* type = Py_TYPE(item);
      if (item == Py_None || PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS) ||
          PyFloat_Check(item))
        continue;
      return false;
    }
    return true;
  }

  tuvax::detail::TextWriter w_;
  // The containers open around the write position. The writer refuses the
  // one past the limit, and nothing is pushed after a failure.
  std::array<Frame, tuvax::detail::text_max_depth + 1> frames_{};
  std::size_t depth_ = 0;
  PyObject* refused_ = nullptr;
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
  sink.set_mode(mode);
  if (!walk_py(sink, obj)) {
    again = sink.needs_holding();
    return nullptr;
  }
  const tuvax::detail::TextWriter& w = sink.writer();
  if (!w.ok()) {
    auto path = locate_py(obj, sink.refused(), mode.without_hook());
    raise_core_error(CoreStep::Format, *w.error());
    add_path_note(path);
    return nullptr;
  }
  // The text is well-formed UTF-8: its strings and keys came from str
  // objects, everything else is ASCII.
  return ObjectBuilder::make_str(w.buffer().view(), w.ascii());
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
