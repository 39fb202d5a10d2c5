#include "history/HistoryAggregates.h"

namespace varnley {

namespace {

void PutVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

bool GetVarint(const std::string& in, std::size_t& at, std::int64_t& value) {
  std::uint64_t result = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= in.size()) return false;
    const auto byte = static_cast<unsigned char>(in[at++]);
    result |= std::uint64_t{byte & 0x7fu} << shift;
    if (!(byte & 0x80)) {
      if (result > static_cast<std::uint64_t>(INT64_MAX)) return false;
      value = static_cast<std::int64_t>(result);
      return true;
    }
  }
  return false;
}

}  // namespace

std::string PackBuckets(const std::vector<Aggregate>& block) {
  std::string out;
  out.reserve(block.size() * 7);
  for (const Aggregate& minute : block) {
    PutVarint(out, static_cast<std::uint64_t>(minute.probes));
    if (minute.probes == 0) continue;
    PutVarint(out, static_cast<std::uint64_t>(minute.successes));
    if (minute.successes == 0) continue;
    // The mean rounded to a microsecond; min <= mean <= max, so the steps are never negative.
    const std::int64_t mean = (minute.sumUs + minute.successes / 2) / minute.successes;
    const std::int64_t clampedMean = std::clamp(mean, minute.minUs, minute.maxUs);
    PutVarint(out, static_cast<std::uint64_t>(minute.minUs));
    PutVarint(out, static_cast<std::uint64_t>(clampedMean - minute.minUs));
    PutVarint(out, static_cast<std::uint64_t>(minute.maxUs - clampedMean));
  }
  return out;
}

std::optional<std::vector<Aggregate>> UnpackBuckets(const std::string& data, std::size_t count) {
  std::vector<Aggregate> block(count);
  std::size_t at = 0;
  for (Aggregate& minute : block) {
    if (!GetVarint(data, at, minute.probes)) return std::nullopt;
    if (minute.probes == 0) continue;
    if (!GetVarint(data, at, minute.successes) || minute.successes > minute.probes)
      return std::nullopt;
    if (minute.successes == 0) continue;
    std::int64_t toMean = 0, toMax = 0;
    if (!GetVarint(data, at, minute.minUs) || !GetVarint(data, at, toMean) ||
        !GetVarint(data, at, toMax))
      return std::nullopt;
    const std::int64_t mean = minute.minUs + toMean;
    minute.maxUs = mean + toMax;
    minute.sumUs = mean * minute.successes;
  }
  if (at != data.size()) return std::nullopt;
  return block;
}

}  // namespace varnley
