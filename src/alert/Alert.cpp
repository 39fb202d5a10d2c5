#include "alert/Alert.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/InternetDate.h"

namespace varnley {

const char* EventName(AlertEvent event) {
  switch (event) {
    case AlertEvent::down:
      return "down";
    case AlertEvent::up:
      return "up";
    case AlertEvent::reminder:
      return "reminder";
    case AlertEvent::test:
      return "test";
  }
  return "down";
}

std::vector<AlertEntry> EntriesOfText(std::string_view text) {
  std::vector<AlertEntry> entries;
  if (text.size() < 2 || text.front() != '"') return entries;
  const std::size_t close = text.find('"', 1);
  if (close == std::string_view::npos) return entries;
  std::string_view list = text.substr(1, close - 1);
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    const std::size_t colon = item.rfind(':');
    if (colon != std::string_view::npos && colon + 1 < item.size()) {
      std::string_view host = item.substr(0, colon);
      if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
      int port = 0;
      bool digits = item.size() - colon - 1 <= 5;
      for (char c : item.substr(colon + 1)) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) port = port * 10 + (c - '0');
      }
      if (digits && port >= 1 && port <= 65535 && !host.empty())
        entries.push_back({std::string(host), port, {}});
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return entries;
}

void MergeInto(Alert& into, Alert later) {
  if (!into.text.empty()) into.text += '\n';
  into.text += later.text;
  for (AlertEntry& entry : later.entries) into.entries.push_back(std::move(entry));
  into.event = later.event;
  if (into.incident.empty()) into.incident = std::move(later.incident);
  if (!into.since) into.since = later.since;
}

namespace {

std::tm LocalTm(WallTime when) {
  // localtime shares one buffer in the C library; the copy is taken under one lock.
  static std::mutex mutex;
  const std::time_t t = WallClock::to_time_t(when);
  std::lock_guard lock(mutex);
  const std::tm* local = std::localtime(&t);
  return local ? *local : std::tm{};
}

}  // namespace

std::string Rfc3339Utc(WallTime when) { return UtcTimestamp(when); }

std::string LocalClockText(WallTime when, bool withDate, bool withSeconds) {
  const std::tm local = LocalTm(when);
  char text[96];
  int n = 0;
  if (withDate)
    n = std::snprintf(text, sizeof text, "%04d-%02d-%02d ", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday);
  n += std::snprintf(text + n, sizeof text - n, "%02d:%02d", local.tm_hour, local.tm_min);
  if (withSeconds) std::snprintf(text + n, sizeof text - n, ":%02d", local.tm_sec);
  return text;
}

std::string MarkRaisedTime(const std::string& text, WallTime raised, WallTime now) {
  static constexpr std::string_view kMark = "[raised ";
  const std::string mark =
      std::string(kMark) + LocalClockText(raised, !SameLocalDay(raised, now), true) + "] ";
  std::string marked;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    if (!line.empty() && !line.starts_with(kMark)) marked += mark;
    marked += line;
    if (end < text.size()) marked += '\n';
    at = end + 1;
  }
  return marked;
}

bool SameLocalDay(WallTime a, WallTime b) {
  const std::tm x = LocalTm(a), y = LocalTm(b);
  return x.tm_year == y.tm_year && x.tm_yday == y.tm_yday;
}

}  // namespace varnley
