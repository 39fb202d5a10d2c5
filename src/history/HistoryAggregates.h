// Probe counts and connect times folded into a bucket (a minute, an hour, a day), and the
// packed form that keeps an hour of one port's minutes in a single small blob.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace varnley {

struct Aggregate {
  std::int64_t probes = 0;
  std::int64_t successes = 0;
  // Connect times of the successful probes, in microseconds (sumUs / successes is the mean).
  std::int64_t minUs = 0;
  std::int64_t sumUs = 0;
  std::int64_t maxUs = 0;

  void add(bool open, std::int64_t us) {
    ++probes;
    if (!open) return;
    minUs = successes == 0 ? us : std::min(minUs, us);
    maxUs = successes == 0 ? us : std::max(maxUs, us);
    ++successes;
    sumUs += us;
  }
  void merge(const Aggregate& other) {
    if (other.successes > 0) {
      minUs = successes == 0 ? other.minUs : std::min(minUs, other.minUs);
      maxUs = successes == 0 ? other.maxUs : std::max(maxUs, other.maxUs);
    }
    probes += other.probes;
    successes += other.successes;
    sumUs += other.sumUs;
  }
  double meanUs() const { return successes ? static_cast<double>(sumUs) / successes : 0.0; }
};

// The sixty minutes of one hour of one port. Packed as variable-length integers, an empty
// minute in one byte and a typical one in six: 48 hours of 1,000 ports fit in about 18 MB.
using MinuteBlock = std::array<Aggregate, 60>;
std::string PackMinutes(const MinuteBlock& block);
// nullopt for bytes that are not a packed block.
std::optional<MinuteBlock> UnpackMinutes(const std::string& data);

}  // namespace varnley
