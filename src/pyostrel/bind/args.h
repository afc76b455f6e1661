// Fast-call argument parsing with the interpreter's own error wording.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "pyostrel/bind/python.h"

namespace pyostrel::bind {

// The parameters of one function or method. A parameter written "name=default"
// is optional; the default text appears only in the signature, the native
// function applies the value.
class Params {
 public:
  Params(std::string qualname, std::initializer_list<const char*> params);

  const std::string& qualname() const noexcept { return qualname_; }
  std::size_t size() const noexcept { return names_.size(); }
  const char* name(std::size_t i) const noexcept { return names_[i].c_str(); }

  // "(a, b=4)" or "($self, a, b=4)", for the docstring's text signature.
  std::string signature(bool method) const;
  // "(a: int, b: int = 4) -> bytes" from one type per parameter and then the
  // result's: the typed line that opens the docstring (see annotate.h).
  std::string annotated(std::span<const std::string> types) const;

  // Fills out[0..size()) with borrowed references, null for omitted optional
  // parameters. Returns false with TypeError set on a missing, unexpected or
  // repeated argument.
  bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const noexcept;

 private:
  bool fail_missing(PyObject** out) const noexcept;
  bool fail_too_many(Py_ssize_t given) const noexcept;

  std::string qualname_;
  std::vector<std::string> names_;
  std::vector<std::string> defaults_;  // "" when required
  std::size_t required_ = 0;
};

// A callable's docstring: its text signature for inspect, then its typed line
// and `doc`: "f($self, pos)\n--\n\nf(pos: int) -> int\n\n<doc>".
std::string callable_doc(const char* name, const Params& params, bool method, std::span<const std::string> types,
                         const char* doc);

// Docstrings and names handed to CPython must outlive the types that hold
// them; the module is never unloaded, so they are kept for the process.
const char* keep(std::string text);

}  // namespace pyostrel::bind
