// Probe counts and connect times folded into a bucket (a minute, an hour, a day), and the
// packed form that keeps a run of one port's buckets in a single small blob.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A run of buckets packed in one small blob: the sixty minutes of an hour, or the 24 hours of
// a day, of one port. As variable-length integers an empty bucket takes one byte and a typical
// one six or seven, a seventh of a row of their own: a year of 1,000 ports stays well under
// 64 MiB.
std::string PackBuckets(const std::vector<Aggregate>& buckets);
// nullopt for bytes that are not `count` packed buckets.
std::optional<std::vector<Aggregate>> UnpackBuckets(const std::string& data, std::size_t count);

}  // namespace varnley
