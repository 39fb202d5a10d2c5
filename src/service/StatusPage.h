// The status page and its JSON twin: the state of every watched port as the metrics see it,
// with uptime, the day's strip and the last outages where a history is kept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/PortMetrics.h"
#include "service/StatusHistory.h"

namespace varnley {

enum class PageState { unknown, up, down };

struct StatusPort {
  std::string host;
  int port = 0;
  PageState state = PageState::unknown;
  std::optional<StatusTime> since;
};

struct StatusFacts {
  std::string source;  // the computer's name
  StatusTime time;
  bool monitoring = false;
  std::vector<StatusPort> ports;  // table order
  bool hasHistory = false;
  std::vector<PortHistory> history;  // one per port when hasHistory
  std::string missingHistory;        // why not, when there is none
  std::vector<StatusOutage> outages;
};

inline constexpr std::size_t kStatusOutages = 50;

// One snapshot of the metrics, completed from the history when one is given. `expected`: how
// many ports the last page showed, so the list is not grown step by step.
StatusFacts CollectStatus(const PortMetrics& metrics, const StatusHistory* history,
                          const std::string& missingHistory, std::string source, StatusTime now,
                          std::size_t expected = 0);

std::string RenderStatusPage(const StatusFacts& facts);
std::string RenderStatusJson(const StatusFacts& facts);

// Text for the page: markup characters as entities, invalid UTF-8 and control characters
// replaced. And for a JSON string (without the quotes), safe inside a page as well.
void AppendHtmlText(std::string& out, std::string_view text);
void AppendJsonText(std::string& out, std::string_view text);

}  // namespace varnley
