// Records as tuples of plain values (ints, floats, bytes, lists, dicts,
// tuples, None), the state that pickle and copy carry between processes.
//
//   using CommissionState = Fields<&Commission::open_rate_by_volume, ...>;
//   Class<Commission>(...).picklable<CommissionState>()
//
// Each member converts back with its own Arg<T>, the conversion its setter
// uses, so a tampered state raises as a bad argument would.
#pragma once

#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "pyostrel/bind/annotate.h"
#include "pyostrel/bind/convert.h"
#include "pyostrel/bind/errors.h"
#include "qel/msg/layout.h"

namespace pyostrel::bind {

template <auto First, auto... Rest>
struct Fields {
  using Record = typename qel::msg::MemberOf<First>::Class;
  static constexpr std::size_t size = 1 + sizeof...(Rest);

  // A new tuple of the members' values, in list order.
  static Ref state(const Record& r) noexcept {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      Ref items[] = {member<First>(r), member<Rest>(r)...};
      for (const Ref& item : items) {
        if (!item) return Ref();
      }
      Ref tuple(PyTuple_New(size));
      if (tuple) (PyTuple_SET_ITEM(tuple.get(), I, items[I].release()), ...);
      return tuple;
    }(std::make_index_sequence<size>{});
  }

  static Record from_state(typename qel::msg::MemberOf<First>::Value first,
                           typename qel::msg::MemberOf<Rest>::Value... rest) {
    Record r;
    r.*First = std::move(first);
    ((r.*Rest = std::move(rest)), ...);
    return r;
  }

  // "tuple[...]" of the members' types: the state's annotation.
  template <Dir D>
  static std::string annotation() {
    return tuple_type<D, typename qel::msg::MemberOf<First>::Value, typename qel::msg::MemberOf<Rest>::Value...>();
  }

  // `out` from a tuple of exactly `size` items; false with the error set.
  static bool assign(PyObject* obj, Record& out) noexcept {
    if (!tuple_of_length(obj, size)) return false;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      Py_ssize_t at = 0;
      return (read<First>(PyTuple_GET_ITEM(obj, at++), out) && ... && read<Rest>(PyTuple_GET_ITEM(obj, at++), out));
    }(std::make_index_sequence<size>{});
  }

 private:
  template <auto M>
  static Ref member(const Record& r) noexcept {
    return Ref(ToPy<typename qel::msg::MemberOf<M>::Value>::convert(r.*M));
  }
  template <auto M>
  static bool read(PyObject* item, Record& out) noexcept {
    return Arg<typename qel::msg::MemberOf<M>::Value>::convert(item, out.*M);
  }
};

// A record nested in another's state (a part header, a table row): specialise
// as `: Fields<&R::a, ...>`, optionally with `static void check(const R&)`,
// which throws qel::Error for a value the record's contract excludes.
template <class R>
struct RecordState;

template <class R>
concept StateRecord = requires { typename RecordState<R>::Record; };

template <StateRecord R>
struct ToPy<R> {
  static PyObject* convert(const R& r) noexcept { return RecordState<R>::state(r).release(); }
};

template <StateRecord R>
struct Arg<R> {
  static bool convert(PyObject* obj, R& out) noexcept {
    R value;
    if (!RecordState<R>::assign(obj, value)) return false;
    if constexpr (requires { RecordState<R>::check(value); }) {
      try {
        RecordState<R>::check(value);
      } catch (...) {
        set_python_error("");
        return false;
      }
    }
    out = std::move(value);
    return true;
  }
};

template <StateRecord R, Dir D>
struct PyType<R, D> {
  static std::string text() { return RecordState<R>::template annotation<D>(); }
};
template <StateRecord R, Dir D>
struct PyType<std::optional<R>, D> {
  static std::string text() { return RecordState<R>::template annotation<D>() + " | None"; }
};

// An absent record is None.
template <StateRecord R>
struct ToPy<std::optional<R>> {
  static PyObject* convert(const std::optional<R>& r) noexcept {
    if (!r) Py_RETURN_NONE;
    return ToPy<R>::convert(*r);
  }
};

template <StateRecord R>
struct Arg<std::optional<R>> {
  static bool convert(PyObject* obj, std::optional<R>& out) noexcept { return convert_optional(obj, out); }
};

// "Name(a=repr(state[0]), b=repr(state[1]), ...)"; throws PythonErrorSet.
// REQUIRES: `state` is a tuple with one item per name.
Ref state_repr(const char* type_name, PyObject* state, std::span<const char* const> names);

// The repr of a record whose state F gives, one name per member.
template <class F, std::size_t N>
Ref fields_repr(const char* type_name, const typename F::Record& r, const char* const (&names)[N]) {
  static_assert(N == F::size, "one name per member");
  Ref state = F::state(r);
  if (!state) throw PythonErrorSet{};
  return state_repr(type_name, state.get(), names);
}

}  // namespace pyostrel::bind
