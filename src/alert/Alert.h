// One alert as the channels carry it: the text the user reads and the facts a machine reader
// needs (what happened, to which ports, since when, and the outage it belongs to).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnley {

using WallClock = std::chrono::system_clock;
using WallTime = WallClock::time_point;

enum class AlertEvent { down, up, reminder, test };

// "down", "up", "reminder" or "test".
const char* EventName(AlertEvent event);

struct AlertEntry {
  std::string host;
  int port = 0;
  std::string reason;  // why the probe failed, "" when not known

  bool operator==(const AlertEntry&) const = default;
};

struct Alert {
  AlertEvent event = AlertEvent::down;
  std::string text;  // one line per merged alert
  std::vector<AlertEntry> entries;
  WallTime time{};                // when it was raised
  std::string incident;           // pairs an outage's DOWN, reminders and UP ("" when none)
  std::optional<WallTime> since;  // when the port went down

  bool operator==(const Alert&) const = default;
};

// The ports named by a dispatch text ("\"10.0.0.5:80,[::1]:443\" is DOWN."), in its order.
// A text of another shape names none.
std::vector<AlertEntry> EntriesOfText(std::string_view text);

// `later` joined to `into`: texts as lines in order, entries appended. The merged alert
// keeps the first one's time, incident and since and takes the later event, which is the
// state things are in now.
void MergeInto(Alert& into, Alert later);

// "2026-12-09T03:45:25Z".
std::string Rfc3339Utc(WallTime when);
// "14:03" in local time, "2026-12-08 14:03" when `withDate`; "14:03:07" with the seconds.
std::string LocalClockText(WallTime when, bool withDate = false, bool withSeconds = false);
// The text with each line marked with the time it was raised, for an alert that goes out
// late (kept across a restart): "[raised 14:02:07] \"host:port\" is DOWN.", the date too
// when it was raised on another day than `now`. A line marked already keeps its mark.
std::string MarkRaisedTime(const std::string& text, WallTime raised, WallTime now);
// Whether the two fall on the same local calendar day.
bool SameLocalDay(WallTime a, WallTime b);

}  // namespace varnley
