// StructValue: the typed row record (header plus typed field slots).
#include "qel/rows/struct_value.h"

#include <algorithm>
#include <limits>
#include <new>

namespace qel::rows {

std::string_view data_type_name(DataType t) noexcept {
  static constexpr std::string_view kNames[] = {"Empty",   "Int",     "Double", "String", "VInt",
                                                "VDouble", "VString", "Int64",  "VInt64"};
  const auto i = static_cast<std::size_t>(t);
  return i < std::size(kNames) ? kNames[i] : "Unknown";
}

// ---- FieldValue ---------------------------------------------------------------

void* FieldValue::new_block(std::size_t n, std::size_t element_size) {
  if (n > (std::numeric_limits<std::size_t>::max() - sizeof(std::size_t)) / element_size) throw std::bad_alloc();
  void* block = slot_allocate(block_bytes(n, element_size));
  *static_cast<std::size_t*>(block) = n;
  return block;
}

FieldValue::FieldValue(std::string_view text) : type_(DataType::String) {
  if (text.size() <= kInlineText) {
    if (!text.empty()) std::memcpy(raw_.data(), text.data(), text.size());
    text_size_ = static_cast<std::uint8_t>(text.size());
    return;
  }
  void* block = new_block(text.size(), 1);
  std::memcpy(static_cast<std::size_t*>(block) + 1, text.data(), text.size());
  put(block);
  text_size_ = kTextOnHeap;
}

namespace {
template <class T>
void copy_items(void* block, std::span<const T> list) noexcept {
  if (!list.empty()) std::memcpy(static_cast<std::size_t*>(block) + 1, list.data(), list.size_bytes());
}
}  // namespace

FieldValue::FieldValue(DataType type, std::span<const std::int32_t> list) {
  void* block = new_block(list.size(), sizeof(std::int32_t));
  copy_items(block, list);
  set_block(type, block, list.size());
}

FieldValue::FieldValue(DataType type, std::span<const double> list) {
  void* block = new_block(list.size(), sizeof(double));
  copy_items(block, list);
  set_block(type, block, list.size());
}

FieldValue::FieldValue(DataType type, std::span<const std::int64_t> list) {
  void* block = new_block(list.size(), sizeof(std::int64_t));
  copy_items(block, list);
  set_block(type, block, list.size());
}

FieldValue::FieldValue(std::span<const std::string> list) {
  void* block = new_block(list.size(), sizeof(std::string));
  auto* items = reinterpret_cast<std::string*>(static_cast<std::size_t*>(block) + 1);
  std::size_t built = 0;
  try {
    for (; built < list.size(); ++built) new (items + built) std::string(list[built]);
  } catch (...) {
    std::destroy_n(items, built);
    slot_deallocate(block, block_bytes(list.size(), sizeof(std::string)));
    throw;
  }
  set_block(DataType::VString, block, list.size());
}

bool FieldValue::on_heap() const noexcept {
  switch (type_) {
    case DataType::String: return text_size_ == kTextOnHeap;
    case DataType::VInt:
    case DataType::VDouble:
    case DataType::VString:
    case DataType::VInt64: return true;
    default: return false;
  }
}

void FieldValue::release() noexcept {
  if (!on_heap()) return;
  const std::size_t n = block_size();
  std::size_t width = 0;
  switch (type_) {
    case DataType::String: width = 1; break;
    case DataType::VInt: width = sizeof(std::int32_t); break;
    case DataType::VString:
      std::destroy_n(items<std::string>(), n);
      width = sizeof(std::string);
      break;
    default: width = 8; break;  // VDouble, VInt64
  }
  slot_deallocate(block(), block_bytes(n, width));
  type_ = DataType::Empty;
}

FieldValue::FieldValue(const FieldValue& other) : raw_(other.raw_), text_size_(other.text_size_), type_(other.type_) {
  if (!other.on_heap()) return;
  type_ = DataType::Empty;  // nothing owned until the copy is made
  switch (other.type_) {
    case DataType::String: *this = FieldValue(other.view<DataType::String>()); break;
    case DataType::VInt: *this = FieldValue(other.view<DataType::VInt>()); break;
    case DataType::VDouble: *this = FieldValue(other.view<DataType::VDouble>()); break;
    case DataType::VString: *this = FieldValue(other.view<DataType::VString>()); break;
    case DataType::VInt64: *this = FieldValue(other.view<DataType::VInt64>()); break;
    default: break;
  }
}

FieldValue& FieldValue::operator=(const FieldValue& other) {
  if (this != &other) *this = FieldValue(other);
  return *this;
}

FieldValue& FieldValue::operator=(FieldValue&& other) noexcept {
  if (this != &other) {
    release();
    raw_ = other.raw_;
    text_size_ = other.text_size_;
    type_ = other.type_;
    other.type_ = DataType::Empty;
  }
  return *this;
}

namespace {
template <class View>
bool same_items(View a, View b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}
}  // namespace

bool operator==(const FieldValue& a, const FieldValue& b) noexcept {
  if (a.type_ != b.type_) return false;
  switch (a.type_) {
    case DataType::Empty: return true;
    case DataType::Int: return a.view<DataType::Int>() == b.view<DataType::Int>();
    case DataType::Double: return a.view<DataType::Double>() == b.view<DataType::Double>();
    case DataType::Int64: return a.view<DataType::Int64>() == b.view<DataType::Int64>();
    case DataType::String: return a.view<DataType::String>() == b.view<DataType::String>();
    case DataType::VInt: return same_items(a.view<DataType::VInt>(), b.view<DataType::VInt>());
    case DataType::VDouble: return same_items(a.view<DataType::VDouble>(), b.view<DataType::VDouble>());
    case DataType::VString: return same_items(a.view<DataType::VString>(), b.view<DataType::VString>());
    case DataType::VInt64: return same_items(a.view<DataType::VInt64>(), b.view<DataType::VInt64>());
  }
  return false;
}

// ---- StructValue --------------------------------------------------------------

const FieldValue& StructValue::slot(std::size_t pos) const {
  if (pos >= fields.size()) {
    throw Error("Invalid field length " + std::to_string(fields.size()) + " (pos " + std::to_string(pos) + ")");
  }
  return fields[pos];
}

FieldValue& StructValue::slot(std::size_t pos) {
  return const_cast<FieldValue&>(static_cast<const StructValue&>(*this).slot(pos));
}

void StructValue::throw_wrong_type(std::size_t pos, std::string_view kind, DataType actual) {
  throw Error("field " + std::to_string(pos) + " is not " + std::string(kind) + " (is " +
              std::string(data_type_name(actual)) + ")");
}

}  // namespace qel::rows
