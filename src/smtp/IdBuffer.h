// The connection's input buffer: a byte queue filled at the tail by receives and drained at
// the head by reads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnley {

class TIdBuffer {
 public:
  std::size_t Size() const { return data_.size() - head_; }
  bool Empty() const { return Size() == 0; }

  void Write(std::string_view bytes);
  // Position of `what` relative to the head, searching from startPos on; npos if absent.
  std::size_t IndexOf(std::string_view what, std::size_t startPos) const;
  // Removes and returns the first n bytes (all of them if fewer are held).
  std::string Extract(std::size_t n);
  std::string_view Peek() const { return std::string_view(data_).substr(head_); }
  void Clear();

 private:
  std::string data_;
  std::size_t head_ = 0;  // bytes before head_ are already consumed
};

}  // namespace varnley
