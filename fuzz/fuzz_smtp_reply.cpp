// Fuzzes the SMTP reply reader: arbitrary server bytes, replies read until the input runs out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "smtp/IdReplySMTP.h"
#include "support/MemoryIOHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varnley::testing::MemoryIOHandler io;
  io.AddChunk(std::string_view(reinterpret_cast<const char*>(data), size));
  for (int i = 0; i < 64; ++i) {
    varnley::TIdReplySMTP reply;
    try {
      varnley::ReadSmtpReply(io, reply);
    } catch (const varnley::EIdException&) {
      break;
    }
    const int code = reply.NumericCode();
    if (!reply.Code.empty() && (code < 100 || code > 999)) std::abort();
    if (reply.Text.empty() || reply.Text.size() > varnley::TIdReplySMTP::kMaxLines) std::abort();
  }
  return 0;
}
