#ifndef TUVAX_PY_PYREF_HPP
#define TUVAX_PY_PYREF_HPP

#include "python.hpp"

#include <atomic>
#include <utility>  // std::exchange

namespace tuvax::py {

// RuntimeError "Already borrowed": an instance is in use by another call.
void raise_already_borrowed();

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
//
// A method's prologue: `BorrowGuard borrow(obj->busy); if (!borrow.taken())
// return nullptr;`.
struct BorrowGuard {
  explicit BorrowGuard(std::atomic<bool>& b) noexcept
      : busy(b), held(!b.exchange(true, std::memory_order_acquire)) {}
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (held) busy.store(false, std::memory_order_release);
  }
  // false, with RuntimeError "Already borrowed" raised, when another call
  // has the instance.
  [[nodiscard]] bool taken() const {
    if (!held) raise_already_borrowed();
    return held;
  }
  std::atomic<bool>& busy;
  const bool held;
};

// Creates a process-wide object (a class) once, under a lock of its own:
// PyMutex_Lock detaches the thread state while it waits, so a thread blocked
// here never holds the interpreter lock the creating thread may need.
// Borrowed reference, or nullptr with an exception set.
template <typename Make>
PyObject* create_once(PyMutex& mutex, PyObject*& made, Make make) {
  PyMutex_Lock(&mutex);
  if (made == nullptr) made = make();
  PyObject* result = made;
  PyMutex_Unlock(&mutex);
  return result;
}

}  // namespace tuvax::py

#endif  // TUVAX_PY_PYREF_HPP
