// Ref: an owning PyObject reference.
#pragma once

#include <utility>

#include "pyostrel/bind/python.h"

namespace pyostrel::bind {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes ownership of a new reference (which may be null).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Ref(std::move(o)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace pyostrel::bind
