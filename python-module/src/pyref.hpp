#ifndef TUVAX_PY_PYREF_HPP
#define TUVAX_PY_PYREF_HPP

#include "python.hpp"

#include <atomic>
#include <utility>  // std::exchange

namespace tuvax::py {

// Owns one strong reference, or nothing. A raw PyObject* borrows; a PyRef
// owns. release() hands the reference on exactly once: to a return, or to an
// API that steals it.
class PyRef {
 public:
  PyRef() noexcept = default;
  // For an API that returned a new reference (or nullptr).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  // Takes a new strong reference to a borrowed pointer (or nullptr).
  static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }

  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {  // safe on self-move
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Takes an instance's busy flag for the lifetime of the guard, or finds it
// already taken (held == false). A method that finds it taken fails at once
// with "Already borrowed" instead of waiting: waiting while holding the
// interpreter lock could deadlock with the thread that has the flag.
struct BorrowGuard {
  explicit BorrowGuard(std::atomic<bool>& b) noexcept
      : busy(b), held(!b.exchange(true, std::memory_order_acquire)) {}
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (held) busy.store(false, std::memory_order_release);
  }
  std::atomic<bool>& busy;
  const bool held;
};

}  // namespace tuvax::py

#endif  // TUVAX_PY_PYREF_HPP
