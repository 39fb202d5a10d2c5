// A point in time a wait must end by, or none: passed down every wait in place of integer
// limits, so "no limit" has one spelling and the arithmetic is written once.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>

namespace varnley {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // A wait that only a stop request ends.
  static Deadline None() { return Deadline(); }
  // Ends after the given time from now; zero or less has already ended.
  static Deadline After(std::chrono::milliseconds limit) { return Deadline(Clock::now() + limit); }
  static Deadline At(Clock::time_point when) { return Deadline(when); }
  // After the given time, or none when it is zero: the settings' "0 means the system's own".
  static Deadline AfterOrNone(std::chrono::milliseconds limit) {
    return limit > std::chrono::milliseconds(0) ? After(limit) : None();
  }

  bool limited() const { return when_.has_value(); }
  bool expired() const { return when_ && Clock::now() >= *when_; }
  std::optional<Clock::time_point> when() const { return when_; }

  // What is left, never below zero; nullopt without a limit.
  std::optional<std::chrono::milliseconds> remaining() const {
    if (!when_) return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*when_ - Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
  }

  // The timeout for poll() and its kin: -1 without a limit, else the milliseconds left
  // (rounded up, so a wait never wakes just before the end and spins), capped to an int.
  int pollTimeout() const {
    const auto left = remaining();
    if (!left) return -1;
    return static_cast<int>(std::min<long long>(left->count(), INT_MAX));
  }

  // Whichever ends first.
  Deadline earliest(const Deadline& other) const {
    if (!when_) return other;
    if (!other.when_) return *this;
    return Deadline(std::min(*when_, *other.when_));
  }

 private:
  Deadline() = default;
  explicit Deadline(Clock::time_point when) : when_(when) {}
  std::optional<Clock::time_point> when_;
};

}  // namespace varnley
