// Fast-call argument parsing with the interpreter's own error wording.
#include "pyostrel/bind/args.h"

#include <deque>

namespace pyostrel::bind {

const char* keep(std::string text) {
  static std::deque<std::string> kept;  // deque: elements never move
  return kept.emplace_back(std::move(text)).c_str();
}

Params::Params(std::string qualname, std::initializer_list<const char*> params) : qualname_(std::move(qualname)) {
  for (const char* p : params) {
    std::string param(p);
    const auto eq = param.find('=');
    if (eq == std::string::npos) {
      names_.push_back(param);
      defaults_.emplace_back();
      ++required_;
    } else {
      names_.push_back(param.substr(0, eq));
      defaults_.push_back(param.substr(eq + 1));
    }
  }
}

std::string Params::signature(bool method) const {
  std::string out = method ? "($self" : "(";
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (method || i > 0) out += ", ";
    out += names_[i];
    if (!defaults_[i].empty()) out += "=" + defaults_[i];
  }
  return out + ")";
}

std::string Params::annotated(std::span<const std::string> types) const {
  std::string out = "(";
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (i > 0) out += ", ";
    out += names_[i] + ": " + types[i];
    if (!defaults_[i].empty()) out += " = " + defaults_[i];
  }
  return out + ") -> " + types[names_.size()];
}

std::string callable_doc(const char* name, const Params& params, bool method, std::span<const std::string> types,
                         const char* doc) {
  std::string out = name + params.signature(method) + "\n--\n\n" + name + params.annotated(types);
  if (*doc) out += std::string("\n\n") + doc;
  return out;
}

bool Params::fail_too_many(Py_ssize_t given) const noexcept {
  const std::size_t max = names_.size();
  if (required_ == max) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", qualname_.c_str(), max,
                 max == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 qualname_.c_str(), required_, max, given, given == 1 ? "was" : "were");
  }
  return false;
}

bool Params::fail_missing(PyObject** out) const noexcept {
  try {
    std::vector<const std::string*> missing;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (!out[i] && defaults_[i].empty()) missing.push_back(&names_[i]);
    }
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the interpreter lists them.
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += "'" + *missing[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", qualname_.c_str(),
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
  } catch (...) {
    PyErr_NoMemory();
  }
  return false;
}

bool Params::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const noexcept {
  const std::size_t n = names_.size();
  if (static_cast<std::size_t>(nargs) > n) return fail_too_many(nargs);
  for (std::size_t i = 0; i < n; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      std::size_t i = 0;
      while (i < n && PyUnicode_CompareWithASCIIString(key, names_[i].c_str()) != 0) ++i;
      if (i == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_.c_str(), key);
        return false;
      }
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qualname_.c_str(),
                     names_[i].c_str());
        return false;
      }
      out[i] = args[nargs + k];
    }
  }
  for (std::size_t i = static_cast<std::size_t>(nargs); i < n; ++i) {
    if (!out[i] && defaults_[i].empty()) return fail_missing(out);
  }
  return true;
}

}  // namespace pyostrel::bind
