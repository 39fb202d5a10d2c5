#include "smtp/IdBuffer.h"

namespace varnley {

void TIdBuffer::Write(std::string_view bytes) {
  // Drop the consumed head once it dominates, so a long session does not grow the buffer.
  if (head_ > 0 && head_ >= data_.size() / 2) {
    data_.erase(0, head_);
    head_ = 0;
  }
  data_.append(bytes);
}

std::size_t TIdBuffer::IndexOf(std::string_view what, std::size_t startPos) const {
  const std::string_view held = Peek();
  if (startPos > held.size()) return std::string_view::npos;
  return held.find(what, startPos);
}

std::string TIdBuffer::Extract(std::size_t n) {
  const std::string_view held = Peek();
  if (n > held.size()) n = held.size();
  std::string out(held.substr(0, n));
  head_ += n;
  if (head_ == data_.size()) Clear();
  return out;
}

void TIdBuffer::Clear() {
  data_.clear();
  head_ = 0;
}

}  // namespace varnley
