// Fuzzes the line reader: the input arrives in chunks of a size chosen by the first byte, under
// a maximum line length chosen by the second; every line read must respect the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smtp/IdException.h"
#include "support/MemoryIOHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  const int maxLength = 1 + data[1] % 128;
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  varnley::testing::MemoryIOHandler io;
  io.MaxLineLength = maxLength;
  while (!rest.empty()) {
    io.AddChunk(rest.substr(0, chunk));
    rest.remove_prefix(std::min(chunk, rest.size()));
  }
  for (;;) {
    std::string line;
    try {
      line = io.ReadLine();
    } catch (const varnley::EIdException&) {
      break;
    }
    if (line.size() > static_cast<std::size_t>(maxLength)) std::abort();
    for (char c : line) {
      if (c == '\n' || static_cast<unsigned char>(c) >= 0x80) std::abort();
    }
  }
  return 0;
}
