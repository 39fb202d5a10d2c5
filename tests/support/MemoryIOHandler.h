// A line-layer handler over scripted chunks of input that records what is written: drives the
// reader and writers without a socket (tests and fuzz targets).
#pragma once

#include <deque>
#include <string>
#include <string_view>

#include "smtp/IdIOHandler.h"

namespace varnley::testing {

class MemoryIOHandler : public TIdIOHandler {
 public:
  // Each chunk arrives with one receive. Once they are used up, a receive reports the peer
  // closed (closeAtEnd) or a timeout.
  void AddChunk(std::string_view bytes) { chunks_.emplace_back(bytes); }
  bool closeAtEnd = true;
  std::string written;
  int receives = 0;

  bool Connected() const override { return open_; }
  void Close() override { open_ = false; }

 protected:
  int ReadFromSource(const Deadline&) override {
    ++receives;
    if (chunks_.empty()) {
      if (!closeAtEnd) return -1;
      MarkClosedGracefully();
      return 0;
    }
    const std::string chunk = std::move(chunks_.front());
    chunks_.pop_front();
    AppendInput(chunk);
    return static_cast<int>(chunk.size());
  }
  void WriteDirect(std::string_view bytes) override { written.append(bytes); }

 private:
  std::deque<std::string> chunks_;
  bool open_ = true;
};

}  // namespace varnley::testing
