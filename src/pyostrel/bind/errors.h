// The one place where C++ exceptions become Python exceptions.
#pragma once

#include <string>
#include <utility>

#include "pyostrel/bind/python.h"
#include "qel/error.h"

namespace pyostrel::bind {

// Thrown by binding code when a Python error is already set.
struct PythonErrorSet {};

// Creates the internal-failure exception type (derived from BaseException, not
// exported). Called once, before any class is built.
bool init_internal_error_type() noexcept;
PyObject* internal_error_type() noexcept;

// Sets the Python error for the exception being handled: qel::Error becomes
// Exception with `prefix` before its text, qel::InternalError and unexpected
// exceptions the internal-failure type, std::bad_alloc and std::length_error
// (a request no allocator can satisfy) MemoryError.
void set_python_error(const char* prefix) noexcept;

// Sets the internal-failure exception with `message`.
void set_internal_error(const std::string& message) noexcept;

// Re-raises a pending TypeError as "argument '<name>': <message>", with the
// original as its __cause__. Other pending errors pass through unchanged.
void prefix_argument_error(const char* name) noexcept;

}  // namespace pyostrel::bind
