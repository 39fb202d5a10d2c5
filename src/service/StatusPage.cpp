#include "service/StatusPage.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <unordered_set>

namespace varnley {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
std::size_t SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) -> unsigned {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
    return byte(i) >= low && byte(i) <= high;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    return continuation(1, low, high) && continuation(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

// Walks the text: each ASCII character to `ascii`, each well-formed longer sequence to `other`,
// each byte that starts none to `other` as the replacement character.
template <typename Ascii, typename Other>
void Walk(std::string_view text, Ascii ascii, Other other) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = SequenceLength(text, at);
    if (length == 1) {
      ascii(text[at]);
    } else {
      other(length ? text.substr(at, length) : kReplacement);
    }
    at += length ? length : 1;
  }
}

void AppendNumber(std::string& out, long long value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void AppendTwo(std::string& out, unsigned value) {
  out += static_cast<char>('0' + value / 10 % 10);
  out += static_cast<char>('0' + value % 10);
}

// "2026-12-09T03:45:26Z" (iso) or "2026-12-09 03:45 UTC" (seconds false) or with seconds.
void AppendTime(std::string& out, StatusTime when, bool iso, bool seconds) {
  using namespace std::chrono;
  const auto day = floor<days>(when);
  const year_month_day date(day);
  const hh_mm_ss clock(floor<std::chrono::seconds>(when - day));
  AppendNumber(out, static_cast<int>(date.year()));
  out += '-';
  AppendTwo(out, static_cast<unsigned>(date.month()));
  out += '-';
  AppendTwo(out, static_cast<unsigned>(date.day()));
  out += iso ? 'T' : ' ';
  AppendTwo(out, static_cast<unsigned>(clock.hours().count()));
  out += ':';
  AppendTwo(out, static_cast<unsigned>(clock.minutes().count()));
  if (iso || seconds) {
    out += ':';
    AppendTwo(out, static_cast<unsigned>(clock.seconds().count()));
  }
  out += iso ? "Z" : " UTC";
}

// "45 s", "12 min", "3 h 4 min", "5 d 3 h".
void AppendLength(std::string& out, std::chrono::system_clock::duration length) {
  const long long s =
      std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(length).count());
  const auto unit = [&](long long value, const char* name) {
    AppendNumber(out, value);
    out += name;
  };
  if (s < 60) {
    unit(s, " s");
  } else if (s < 3600) {
    unit(s / 60, " min");
  } else if (s < 86400) {
    unit(s / 3600, " h ");
    unit(s / 60 % 60, " min");
  } else {
    unit(s / 86400, " d ");
    unit(s / 3600 % 24, " h");
  }
}

// "99.93%", never rounded up to a full 100 that was not reached.
void AppendPercent(std::string& out, const std::optional<double>& share) {
  if (!share) {
    out += "&ndash;";
    return;
  }
  const double clamped = std::clamp(*share, 0.0, 1.0);
  if (clamped >= 1) {
    out += "100%";
    return;
  }
  const long long hundredths = static_cast<long long>(std::floor(clamped * 10000));
  AppendNumber(out, hundredths / 100);
  out += '.';
  AppendTwo(out, static_cast<unsigned>(hundredths % 100));
  out += '%';
}

void AppendJsonNumber(std::string& out, const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) {
    out += "null";
    return;
  }
  char digits[32];
  const double rounded = std::round(std::clamp(*value, 0.0, 1.0) * 1e6) / 1e6;
  out.append(digits, std::to_chars(digits, digits + sizeof digits, rounded).ptr);
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  AppendJsonText(out, text);
  out += '"';
}

void AppendJsonTime(std::string& out, const std::optional<StatusTime>& when) {
  if (!when) {
    out += "null";
    return;
  }
  out += '"';
  AppendTime(out, *when, true, true);
  out += '"';
}

const char* StateName(PageState state) {
  switch (state) {
    case PageState::up:
      return "up";
    case PageState::down:
      return "down";
    default:
      return "unknown";
  }
}

const char* StateWord(PageState state) {
  switch (state) {
    case PageState::up:
      return "UP";
    case PageState::down:
      return "DOWN";
    default:
      return "no data";
  }
}

// The strip's cell class: up the whole half hour, part of it, not at all, no data.
char CellClass(float share) {
  if (share < 0) return 'n';
  if (share >= 1) return 'u';
  return share <= 0 ? 'd' : 'p';
}

// Runs of like cells as one element each, so a day without change is one element.
void AppendStrip(std::string& out, const PortHistory& history) {
  out += "<div class=\"strip\">";
  for (std::size_t at = 0; at < kStatusStripCells;) {
    const char kind = CellClass(history.strip[at]);
    std::size_t end = at + 1;
    while (end < kStatusStripCells && CellClass(history.strip[end]) == kind) ++end;
    out += "<i class=\"";
    out += kind;
    out += "\" style=\"flex:";
    AppendNumber(out, static_cast<long long>(end - at));
    out += "\"></i>";
    at = end;
  }
  out += "</div>";
}

void AppendHostPort(std::string& out, const std::string& host, int port) {
  AppendHtmlText(out, host);
  out += ':';
  AppendNumber(out, port);
}

constexpr std::string_view kStyle =
    "body{font:15px/1.4 system-ui,sans-serif;margin:0 auto;max-width:75em;padding:.8em;"
    "color:#1f2328;background:#fff}"
    "h1{font-size:1.25em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.6em 0 .4em}"
    "header p{margin:0 0 1em;color:#59636e}"
    ".note{background:#fff8c5;border:1px solid #d4a72c;padding:.5em .8em;border-radius:4px}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:.35em .5em;border-bottom:1px solid #d1d9e0;"
    "vertical-align:top;overflow-wrap:break-word}"
    "th{background:#f6f8fa;font-weight:600;white-space:nowrap}"
    "#ports td:nth-child(2),#ports td:nth-child(3){white-space:nowrap}"
    "small{color:#59636e}"
    ".mark{display:inline-block;width:.75em;height:.75em;border-radius:50%;margin-right:.4em}"
    ".up .mark{background:#1a7f37}.down .mark{background:#cf222e}"
    ".unknown .mark{background:#818b98}"
    "tr.down td{background:#ffebe9}.down .state{font-weight:700;color:#a40e26}"
    ".strip{display:flex;height:1.1em;min-width:10em;border-radius:2px;overflow:hidden}"
    ".strip i{display:block}"
    ".u{background:#2da44e}.p{background:#d4a72c}.d{background:#cf222e}.n{background:#d1d9e0}"
    ".legend i{display:inline-block;width:.8em;height:.8em;margin:0 .3em 0 .6em;"
    "vertical-align:-.05em}"
    // A phone: each row a block, each value beside its column's name.
    "@media (max-width:40em){thead{display:none}tr{display:block;border-bottom:2px solid "
    "#d1d9e0;padding:.3em 0}td{display:block;border:0;padding:.15em .3em .15em 7em;"
    "position:relative;white-space:normal!important}td:empty{display:none}"
    "td::before{position:absolute;left:.3em;font-weight:600;color:#59636e}"
    ".strip{min-width:0;margin-top:.15em}"
    // The column names, written once here rather than on every row.
    "#ports td:nth-child(1)::before{content:'Port'}#ports td:nth-child(2)::before{content:'State'}"
    "#ports td:nth-child(3)::before{content:'Since'}"
    "#ports td:nth-child(4)::before{content:'Reason'}"
    "#ports td:nth-child(5)::before{content:'24 hours'}"
    "#ports td:nth-child(6)::before{content:'30 days'}"
    "#ports td:nth-child(7)::before{content:'Last 24 h'}"
    "#outages td:nth-child(1)::before{content:'Start'}"
    "#outages td:nth-child(2)::before{content:'Length'}"
    "#outages td:nth-child(3)::before{content:'Port'}"
    "#outages td:nth-child(4)::before{content:'Reason'}"
    "#outages td:nth-child(5)::before{content:'Alerts sent'}}";

}  // namespace

// Most host names and reasons need no escape at all: they go out in one piece.
static bool Inert(std::string_view text, std::string_view special) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f || special.find(c) != std::string_view::npos) return false;
  }
  return true;
}

void AppendHtmlText(std::string& out, std::string_view text) {
  if (Inert(text, "&<>\"'")) {
    out += text;
    return;
  }
  Walk(
      text,
      [&out](char c) {
        switch (c) {
          case '&':
            out += "&amp;";
            break;
          case '<':
            out += "&lt;";
            break;
          case '>':
            out += "&gt;";
            break;
          case '"':
            out += "&quot;";
            break;
          case '\'':
            out += "&#39;";
            break;
          case '\t':
          case '\n':
          case '\r':
            out += ' ';
            break;
          default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
              out += kReplacement;
            } else {
              out += c;
            }
        }
      },
      [&out](std::string_view sequence) { out += sequence; });
}

void AppendJsonText(std::string& out, std::string_view text) {
  if (Inert(text, "\"\\<>&'")) {
    out += text;
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  const auto escaped = [&out](unsigned code) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
  };
  Walk(
      text,
      [&](char c) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
          out += '\\';
          out += c;
        } else if (c == '\n') {
          out += "\\n";
        } else if (u < 0x20 || u == 0x7f || c == '<' || c == '>' || c == '&' || c == '\'') {
          // Markup characters too, so the text stays inert if a page ever embeds it.
          escaped(u);
        } else {
          out += c;
        }
      },
      [&](std::string_view sequence) {
        if (sequence == "\xE2\x80\xA8" || sequence == "\xE2\x80\xA9") {
          escaped(sequence[2] == '\xA8' ? 0x2028 : 0x2029);
        } else {
          out += sequence;
        }
      });
}

StatusFacts CollectStatus(const PortMetrics& metrics, const StatusHistory* history,
                          const std::string& missingHistory, std::string source, StatusTime now,
                          std::size_t expected) {
  StatusFacts facts;
  facts.ports.reserve(expected);
  facts.source = std::move(source);
  facts.time = now;
  std::unordered_set<std::string> unknownSeen;
  const PortMetrics::Snapshot snapshot =
      metrics.Take([&](const std::string& host, int port, const PortMetrics::Reading* last) {
        if (!last && !unknownSeen.insert(host + ':' + std::to_string(port)).second) return;
        StatusPort& entry = facts.ports.emplace_back();
        entry.host = host;
        entry.port = port;
        if (last) {
          entry.state = last->open ? PageState::up : PageState::down;
          entry.since = last->since;
        }
      });
  facts.monitoring = snapshot.monitoring;
  facts.missingHistory = missingHistory.empty() ? "the history is not kept" : missingHistory;
  if (!history) return facts;
  try {
    std::vector<StatusPortKey> keys;
    keys.reserve(facts.ports.size());
    for (const StatusPort& port : facts.ports) keys.push_back({port.host, port.port});
    std::vector<PortHistory> kept = history->Ports(keys, now);
    std::vector<StatusOutage> outages = history->Outages(kStatusOutages);
    if (kept.size() != facts.ports.size()) {
      facts.missingHistory = "the history gave no answer for these ports";
      return facts;
    }
    for (std::size_t i = 0; i < kept.size(); ++i) {
      StatusPort& port = facts.ports[i];
      // The history has seen the state begin even before this run started.
      if (kept[i].since && port.state != PageState::unknown) port.since = kept[i].since;
      if (port.state != PageState::down) kept[i].reason.clear();
    }
    if (outages.size() > kStatusOutages) outages.resize(kStatusOutages);
    facts.history = std::move(kept);
    facts.outages = std::move(outages);
    facts.hasHistory = true;
    facts.missingHistory.clear();
  } catch (const std::exception& e) {
    facts.missingHistory = std::string("the history could not be read (") + e.what() + ")";
  }
  return facts;
}

std::string RenderStatusPage(const StatusFacts& facts) {
  std::size_t down = 0;
  for (const StatusPort& port : facts.ports) down += port.state == PageState::down ? 1 : 0;
  std::string out;
  out.reserve(4096 + facts.ports.size() * (facts.hasHistory ? 400 : 200) +
              facts.outages.size() * 250);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"15\"><title>";
  if (down) {
    AppendNumber(out, static_cast<long long>(down));
    out += " down &middot; ";
  }
  AppendHtmlText(out, facts.source);
  out += " &middot; Varnley</title><style>";
  out += kStyle;
  out += "</style></head><body><header><h1>";
  AppendHtmlText(out, facts.source);
  out += "</h1><p id=\"summary\">";
  out += facts.monitoring ? "Monitoring" : "<strong>Not monitoring</strong>";
  out += " &middot; ";
  if (facts.ports.empty()) {
    out += "no ports watched";
  } else if (down) {
    out += "<strong>";
    AppendNumber(out, static_cast<long long>(down));
    out += " of ";
    AppendNumber(out, static_cast<long long>(facts.ports.size()));
    out += facts.ports.size() == 1 ? " port down</strong>" : " ports down</strong>";
  } else {
    AppendNumber(out, static_cast<long long>(facts.ports.size()));
    out += facts.ports.size() == 1 ? " port, none down" : " ports, none down";
  }
  out += " &middot; <time>";
  AppendTime(out, facts.time, false, true);
  out += "</time></p></header>\n";
  if (!facts.hasHistory) {
    out += "<p class=\"note\">Only the present state is shown: ";
    AppendHtmlText(out, facts.missingHistory);
    out += ", so there is no uptime, no reason and no list of outages.</p>\n";
  }

  out += "<table id=\"ports\"><thead><tr><th>Port</th><th>State</th><th>Since</th>";
  if (facts.hasHistory)
    out +=
        "<th>Reason</th><th>24 hours</th><th>30 days</th>"
        "<th title=\"half hours, oldest first\">Last 24 hours</th>";
  out += "</tr></thead><tbody>\n";
  const auto row = [&](std::size_t index) {
    const StatusPort& port = facts.ports[index];
    out += "<tr class=\"";
    out += StateName(port.state);
    out += "\"><td>";
    AppendHostPort(out, port.host, port.port);
    out += "</td><td class=\"state\"><span class=\"mark\"></span>";
    out += StateWord(port.state);
    out += "</td><td>";
    if (port.since) {
      AppendTime(out, *port.since, false, false);
      out += " <small>(";
      AppendLength(out, facts.time - *port.since);
      out += ")</small>";
    } else {
      out += "&ndash;";
    }
    out += "</td>";
    if (facts.hasHistory) {
      const PortHistory& history = facts.history[index];
      out += "<td>";
      AppendHtmlText(out, history.reason);
      out += "</td><td>";
      AppendPercent(out, history.uptime24h);
      out += "</td><td>";
      AppendPercent(out, history.uptime30d);
      out += "</td><td>";
      AppendStrip(out, history);
      out += "</td>";
    }
    out += "</tr>\n";
  };
  for (std::size_t i = 0; i < facts.ports.size(); ++i)
    if (facts.ports[i].state == PageState::down) row(i);
  for (std::size_t i = 0; i < facts.ports.size(); ++i)
    if (facts.ports[i].state != PageState::down) row(i);
  out += "</tbody></table>\n";

  if (facts.hasHistory) {
    out +=
        "<p class=\"legend\"><small>Last 24 hours, half an hour a cell, oldest first:"
        "<i class=\"u\"></i>up<i class=\"p\"></i>partly down<i class=\"d\"></i>down"
        "<i class=\"n\"></i>no data</small></p>\n<h2>Last outages</h2>\n";
    if (facts.outages.empty()) {
      out += "<p id=\"outages\">None kept.</p>\n";
    } else {
      out +=
          "<table id=\"outages\"><thead><tr><th>Start</th><th>Length</th><th>Port</th>"
          "<th>Reason</th><th>Alerts sent</th></tr></thead><tbody>\n";
      for (const StatusOutage& outage : facts.outages) {
        out += "<tr><td>";
        AppendTime(out, outage.start, false, false);
        out += "</td><td>";
        if (outage.end) {
          AppendLength(out, *outage.end - outage.start);
        } else {
          out += "ongoing, ";
          AppendLength(out, facts.time - outage.start);
        }
        out += "</td><td>";
        AppendHostPort(out, outage.host, outage.port);
        out += "</td><td>";
        AppendHtmlText(out, outage.reason);
        out += "</td><td>";
        AppendNumber(out, outage.alertsSent);
        out += "</td></tr>\n";
      }
      out += "</tbody></table>\n";
    }
  }
  out += "</body></html>\n";
  return out;
}

std::string RenderStatusJson(const StatusFacts& facts) {
  std::string out;
  out.reserve(256 + facts.ports.size() * (facts.hasHistory ? 400 : 120) +
              facts.outages.size() * 200);
  out += "{\"source\":";
  AppendJsonString(out, facts.source);
  out += ",\"time\":";
  AppendJsonTime(out, facts.time);
  out +=
      facts.monitoring ? ",\"monitoring\":true,\"ports\":[" : ",\"monitoring\":false,\"ports\":[";
  static const PortHistory kNone;
  bool first = true;
  for (std::size_t i = 0; i < facts.ports.size(); ++i) {
    const StatusPort& port = facts.ports[i];
    const PortHistory& history = facts.hasHistory ? facts.history[i] : kNone;
    out += first ? "{\"host\":" : ",{\"host\":";
    first = false;
    AppendJsonString(out, port.host);
    out += ",\"port\":";
    AppendNumber(out, port.port);
    out += ",\"state\":\"";
    out += StateName(port.state);
    out += "\",\"since\":";
    AppendJsonTime(out, port.since);
    out += ",\"reason\":";
    AppendJsonString(out, history.reason);
    out += ",\"uptime24h\":";
    AppendJsonNumber(out, history.uptime24h);
    out += ",\"uptime30d\":";
    AppendJsonNumber(out, history.uptime30d);
    out += ",\"strip\":[";
    if (facts.hasHistory) {
      for (std::size_t cell = 0; cell < kStatusStripCells; ++cell) {
        if (cell) out += ',';
        const float share = history.strip[cell];
        AppendJsonNumber(out, share < 0 ? std::nullopt : std::optional<double>(share));
      }
    }
    out += "]}";
  }
  out += "],\"outages\":[";
  first = true;
  for (const StatusOutage& outage : facts.outages) {
    out += first ? "{\"start\":" : ",{\"start\":";
    first = false;
    AppendJsonTime(out, outage.start);
    out += ",\"end\":";
    AppendJsonTime(out, outage.end);
    out += ",\"host\":";
    AppendJsonString(out, outage.host);
    out += ",\"port\":";
    AppendNumber(out, outage.port);
    out += ",\"reason\":";
    AppendJsonString(out, outage.reason);
    out += ",\"alertsSent\":";
    AppendNumber(out, outage.alertsSent);
    out += '}';
  }
  out += "]}\n";
  return out;
}

}  // namespace varnley
