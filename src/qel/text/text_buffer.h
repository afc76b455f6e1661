// Growable storage for rendered text that is never zero-filled: a renderer
// asks for room ahead of its cursor and writes every byte itself. Whoever owns
// the storage decides where it lives; the binding's owner is the bytes object
// handed back to Python, so a long text is written once and never copied.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace qel::text {

class TextBuffer {
 public:
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Room for n bytes in all; the first size() are kept. Growth is geometric.
  void reserve(std::size_t n) {
    if (n > capacity_) regrow(std::max(n, capacity_ + capacity_ / 2));
  }
  // Room for exactly n bytes in all, for a caller that knows what it will need.
  void reserve_exactly(std::size_t n) {
    if (n > capacity_) regrow(n);
  }
  // The size set to n: bytes past the old size hold whatever they held, for
  // the caller to write. REQUIRES: n <= capacity().
  void set_size(std::size_t n) noexcept { size_ = n; }

  void append(std::string_view s) {
    reserve(size_ + s.size());
    if (!s.empty()) std::memcpy(data_ + size_, s.data(), s.size());
    size_ += s.size();
  }

 protected:
  TextBuffer() = default;
  ~TextBuffer() = default;

  // Storage of at least n bytes whose first size() bytes are the old ones:
  // sets data_ and capacity_, or throws and leaves them.
  virtual void regrow(std::size_t n) = 0;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// A TextBuffer over a std::string, appending to what it holds: the string is
// resized to the text written when the buffer goes.
class StringTextBuffer final : public TextBuffer {
 public:
  explicit StringTextBuffer(std::string& s) noexcept : s_(s) {
    size_ = s.size();
    sync();
  }
  ~StringTextBuffer() { s_.resize(size_); }  // a cut, which never throws

 private:
  void regrow(std::size_t n) override {
    s_.resize(n);
    sync();
  }
  void sync() noexcept {
    data_ = s_.data();
    capacity_ = s_.size();
  }

  std::string& s_;
};

}  // namespace qel::text
