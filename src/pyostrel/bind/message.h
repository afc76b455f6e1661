// Message classes from their declarations: get_/set_ methods for the declared
// fields, encode(), and a strict decode under "<Class> decode: ".
//
//   bind::Message<ATUnsubscribeReq>("ATUnsubscribeReq", "doc").encode().build();
#pragma once

#include <array>
#include <string>
#include <utility>

#include "pyostrel/bind/class.h"
#include "qel/msg/layout.h"

namespace pyostrel::bind {

template <>
struct Arg<qel::msg::Blob> {
  static bool convert(PyObject* obj, qel::msg::Blob& out) noexcept {
    Blob view;
    if (!Arg<Blob>::convert(obj, view)) return false;
    return assign_bytes(out.data, view.bytes);
  }
};
template <>
struct ToPy<qel::msg::Blob> {
  static PyObject* convert(const qel::msg::Blob& b) noexcept { return bytes_from(b.data.data(), b.data.size()); }
};

template <>
struct Arg<qel::msg::LittleEndianI32> {
  static bool convert(PyObject* obj, qel::msg::LittleEndianI32& out) noexcept {
    return Arg<std::int32_t>::convert(obj, out.value);
  }
};
template <>
struct ToPy<qel::msg::LittleEndianI32> {
  static PyObject* convert(qel::msg::LittleEndianI32 v) noexcept { return PyLong_FromLong(v.value); }
};

template <class T>
struct Arg<qel::msg::RawVec<T>> {
  static bool convert(PyObject* obj, qel::msg::RawVec<T>& out) noexcept {
    return Arg<std::vector<T>>::convert(obj, out.items);
  }
};
template <class T>
struct ToPy<qel::msg::RawVec<T>> {
  static PyObject* convert(const qel::msg::RawVec<T>& v) noexcept { return ToPy<std::vector<T>>::convert(v.items); }
};

template <class T, T Lo, T Hi>
struct ToPy<qel::msg::Ranged<T, Lo, Hi>> {
  static PyObject* convert(qel::msg::Ranged<T, Lo, Hi> v) noexcept { return ToPy<T>::convert(v.value); }
};

template <Dir D>
struct PyType<qel::msg::Blob, D> {
  static std::string text() { return "bytes"; }
};
template <Dir D>
struct PyType<qel::msg::LittleEndianI32, D> {
  static std::string text() { return "int"; }
};
template <class T, Dir D>
struct PyType<qel::msg::RawVec<T>, D> {
  static std::string text() { return list_of<T, D>(); }
};
template <class T, T Lo, T Hi, Dir D>
struct PyType<qel::msg::Ranged<T, Lo, Hi>, D> {
  static std::string text() { return "int"; }
};

template <auto... Path>
struct PathValue;
template <auto M>
struct PathValue<M> {
  using type = typename qel::msg::MemberOf<M>::Value;
};
template <auto M, auto... Rest>
  requires(sizeof...(Rest) > 0)
struct PathValue<M, Rest...> : PathValue<Rest...> {};

// A field reached through the members of its embedded prefixes.
template <class T, auto... Path>
const typename PathValue<Path...>::type& get_path(const T& t) noexcept {
  return (t.*....*Path);
}
template <class T, auto... Path>
void set_path(T& t, typename PathValue<Path...>::type v) {
  (t.*....*Path) = std::move(v);
}

// A Ranged field's setter: any int is taken, so that a value out of range is
// refused by naming the range rather than the native width.
template <class T, auto... Path>
void set_ranged_path(T& t, AnyInt v) {
  using R = typename PathValue<Path...>::type;
  if (!v.fits || !R::accepts(v.value)) throw qel::Error(qel::msg::range_refusal(v.text(), R::kLo, R::kHi));
  (t.*....*Path).value = static_cast<typename R::Int>(v.value);
}

template <qel::msg::Record T>
std::string encode_message(const T& m) {
  return qel::msg::encode(m);
}
template <qel::msg::Record T>
void decode_message(T& m, Blob buf) {
  qel::msg::decode(m, buf.bytes);
}

// The doc line of an accessor: "<Verb> the <kind> field <name>." (kept for the process).
const char* field_doc(const char* verb, const std::string& kind, const char* name);

template <class V>
std::string kind_name() {
  std::string out;
  qel::msg::append_kind_name<V>(out);
  return out;
}

template <class T>
class Message : public Class<T> {
 public:
  Message(const char* name, const char* doc) : Class<T>(name, doc), name_(name) {
    add_accessors<T, false, kNoOverride>();
  }

  template <auto F>
  Message& method(const char* name, std::initializer_list<const char*> params = {}, const char* prefix = "",
                  const char* doc = "") {
    Class<T>::template method<F>(name, params, prefix, doc);
    return *this;
  }

  Message& encode() {
    method<&encode_message<T>>("encode", {}, "", "The body, fields in wire order.");
    return *this;
  }
  // encode_string() and decode_string(data), the calculator messages' names.
  Message& encode_string() {
    method<&encode_message<T>>("encode_string", {}, "", "The body, fields in wire order.");
    return *this;
  }
  Message& decode_string() {
    method<&decode_message<T>>("decode_string", {"data"}, keep(name_ + " decode: "), strict_decode_doc("data"));
    return *this;
  }

  // decode(buf) reading every wire field in order; on failure the object is
  // unchanged and the error reads "<Class> decode: <codec error>".
  Message& decode() {
    return decode_with<&decode_message<T>>();
  }
  // The same decode where the record's leniency policy departs from the strict one, as `doc` says.
  Message& decode(const char* doc) {
    return decode_with<&decode_message<T>>(doc);
  }
  // `doc` says how F departs from the strict decode, if it does.
  template <auto F>
  Message& decode_with(const char* doc = nullptr) {
    std::string prefix = name_;
    prefix += " decode: ";
    method<F>("decode", {"buf"}, keep(std::move(prefix)), doc ? doc : strict_decode_doc("buf"));
    return *this;
  }

 private:
  static constexpr std::array<qel::msg::Access, 0> kNoOverride{};

  const char* strict_decode_doc(const char* arg) const {
    return keep(std::string("Reads every field from the body ") + arg + " (bytes), in wire order. Raises Exception \"" +
                name_ + " decode: ...\" on a short or malformed body, and then changes nothing.");
  }

  // Which accessors exist is settled at compile time: a hidden field's
  // accessors are never generated.
  template <class R, bool Overridden, auto Override, auto... Outer>
  void add_accessors() {
    add_entries<R, Overridden, Override, Outer...>(
        std::make_index_sequence<std::tuple_size_v<std::remove_cv_t<decltype(R::kFields)>>>{});
  }

  // Not a generic lambda: Clang gives every element of a captured `auto...` pack the first one's type.
  template <class R, bool Overridden, auto Override, auto... Outer, std::size_t... I>
  void add_entries(std::index_sequence<I...>) {
    (add_entry<R, I, Overridden, Override, Outer...>(), ...);
  }

  template <class R, std::size_t I, bool Overridden, auto Override, auto... Outer>
  void add_entry() {
    static constexpr auto f = std::get<I>(R::kFields);
    using F = std::remove_cv_t<decltype(f)>;
    if constexpr (qel::msg::is_embed<F>) {
      add_accessors<typename F::Value, true, f.access, Outer..., F::member>();
    } else {
      using V = typename F::Value;
      constexpr unsigned access = [] {
        if constexpr (Overridden) return unsigned{Override[I]};
        else return unsigned{f.access};
      }();
      if constexpr ((access & qel::msg::kGet) != 0) {
        Class<T>::template method<&get_path<T, Outer..., F::member>>(
            keep(this->prefixed("get_", f.name)), {}, "", field_doc("Returns", kind_name<V>(), f.name));
      }
      if constexpr ((access & qel::msg::kSet) != 0 && requires { V::kLo; }) {
        Class<T>::template method<&set_ranged_path<T, Outer..., F::member>>(
            keep(this->prefixed("set_", f.name)), {"v"}, keep(name_ + ".set_" + f.name + ": "),
            field_doc("Sets", kind_name<V>(), f.name));
      } else if constexpr ((access & qel::msg::kSet) != 0) {
        Class<T>::template method<&set_path<T, Outer..., F::member>>(
            keep(this->prefixed("set_", f.name)), {"v"}, "", field_doc("Sets", kind_name<V>(), f.name));
      }
    }
  }

  std::string name_;
};

}  // namespace pyostrel::bind
