// Files and streams for the extension: the core's framing, file functions
// and atomic replacement, with the interpreter lock released while a system
// call blocks and Python's signal handlers run when one is interrupted.
#ifndef TUVAX_PY_FILE_IO_HPP
#define TUVAX_PY_FILE_IO_HPP

#include "python.hpp"

#include <cstdint>
#include <span>
#include <string_view>

#include "pyref.hpp"
#include "tuvax/error.hpp"
#include "tuvax/framing.hpp"

namespace tuvax::py {

// Lets other threads run while a call blocks (a thread of this process may
// be the one feeding or draining a FIFO), and on EINTR runs the signal
// handlers: a handler that raises (Ctrl-C's) ends the call with its
// exception, one that returns lets it go on.
class GilBlocking final : public Blocking {
 public:
  bool enter() override {
    if (PyErr_CheckSignals() != 0) return false;
    state_ = PyEval_SaveThread();
    return true;
  }
  void leave() noexcept override { PyEval_RestoreThread(state_); }
  bool retry() override { return PyErr_CheckSignals() == 0; }

 private:
  PyThreadState* state_ = nullptr;
};

// The document `data` into the file at `path`, replaced atomically. OSError
// "file name contained an unexpected NUL byte" before any system call.
// false: exception set.
[[nodiscard]] bool write_output(std::string_view path, std::span<const std::uint8_t> data);

// Every top-level value of the document in the file at `path`, read one
// block at a time and no further than the framing asks: one value as
// itself, any other number as a list.
[[nodiscard]] PyRef decode_file(std::string_view path);

}  // namespace tuvax::py

#endif  // TUVAX_PY_FILE_IO_HPP
