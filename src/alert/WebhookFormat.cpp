#include "alert/WebhookFormat.h"

#include <cstdio>

#include "alert/AlertMail.h"
#include "alert/MailStatus.h"
#include "platform/Text.h"

namespace varnley {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

namespace {

std::string JsonBody(const Alert& alert, const std::string& source) {
  std::string body = "{\"event\":";
  body += JsonString(EventName(alert.event));
  body += ",\"text\":" + JsonString(alert.text);
  body += ",\"entries\":[";
  for (std::size_t i = 0; i < alert.entries.size(); ++i) {
    const AlertEntry& entry = alert.entries[i];
    if (i > 0) body += ',';
    body += "{\"host\":" + JsonString(entry.host) + ",\"port\":" + std::to_string(entry.port);
    if (!entry.reason.empty()) body += ",\"reason\":" + JsonString(entry.reason);
    body += '}';
  }
  body += "],\"time\":" + JsonString(Rfc3339Utc(alert.time));
  body += ",\"source\":" + JsonString(source);
  if (!alert.incident.empty()) body += ",\"incident\":" + JsonString(alert.incident);
  if (alert.since) body += ",\"since\":" + JsonString(Rfc3339Utc(*alert.since));
  body += '}';
  return body;
}

// What follows "scheme://" up to the path, the query or the fragment.
std::string_view Authority(std::string_view url, std::string_view* scheme) {
  const std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) return {};
  if (scheme) *scheme = url.substr(0, sep);
  std::string_view rest = url.substr(sep + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  // user:password@ is a secret like any other.
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest.remove_prefix(at + 1);
  return rest;
}

}  // namespace

std::string UrlHost(std::string_view url) {
  std::string_view authority = Authority(url, nullptr);
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    return std::string(authority.substr(1, close == std::string_view::npos ? close : close - 1));
  }
  return std::string(authority.substr(0, authority.find(':')));
}

std::string WebhookDisplay(std::string_view url) {
  const std::string trimmed = Trim(url);
  std::string_view scheme;
  std::string_view authority = Authority(trimmed, &scheme);
  std::string lower = ToLowerAscii(scheme);
  if ((lower != "http" && lower != "https") || authority.empty()) return "";
  std::string display = lower + "://" + ToLowerAscii(authority);
  const bool bracketed = authority.front() == '[';
  const std::size_t colon = authority.rfind(':');
  const bool hasPort =
      colon != std::string_view::npos && (!bracketed || colon > authority.find(']'));
  if (!hasPort) display += lower == "https" ? ":443" : ":80";
  return display;
}

std::string WithoutSecrets(std::string text, const WebhookSettings& webhook) {
  std::vector<std::string> secrets;
  const std::string url = Trim(webhook.url);
  const std::size_t sep = url.find("://");
  if (sep != std::string::npos) {
    const std::size_t path = url.find_first_of("/?#", sep + 3);
    if (path != std::string::npos && url.size() - path > 1) secrets.push_back(url.substr(path));
    const std::size_t at = url.rfind('@', path);
    if (at != std::string::npos && at > sep) secrets.push_back(url.substr(sep + 3, at - sep - 3));
  }
  const std::size_t colon = webhook.header.find(':');
  if (colon != std::string::npos) {
    const std::string value = Trim(webhook.header.substr(colon + 1));
    if (!value.empty()) secrets.push_back(value);
  }
  for (const std::string& secret : secrets) {
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at))
      text.replace(at, secret.size(), "[hidden]");
  }
  return text;
}

WebhookRequestOrReason BuildWebhookRequest(const WebhookSettings& webhook, const Alert& alert,
                                           const std::string& source) {
  const std::string format = ToLowerAscii(Trim(webhook.format));
  WebhookRequest request;
  if (format.empty() || format == "json") {
    request.body = JsonBody(alert, source);
    request.headers.push_back("Content-Type: application/json");
  } else if (format == "slack") {
    request.body = "{\"text\":" + JsonString(alert.text) + "}";
    request.headers.push_back("Content-Type: application/json");
  } else if (format == "ntfy") {
    // A reminder is the DOWN told again, and is as urgent.
    const bool down = alert.event == AlertEvent::down || alert.event == AlertEvent::reminder;
    request.body = alert.text;
    request.headers.push_back("Content-Type: text/plain; charset=utf-8");
    request.headers.push_back(std::string("Title: ") + kApplicationTitle);
    request.headers.push_back(down ? "Priority: high" : "Priority: default");
    request.headers.push_back(down ? "Tags: warning" : "Tags: white_check_mark");
  } else {
    return {std::nullopt,
            "unknown webhook format \"" + OneLine(webhook.format) + "\" (json, slack or ntfy)"};
  }
  const std::string header = Trim(webhook.header);
  if (!header.empty()) {
    const std::size_t colon = header.find(':');
    const bool breaks = header.find_first_of("\r\n") != std::string::npos;
    if (breaks || colon == std::string::npos || colon == 0 || header.find_first_of(" \t") < colon)
      return {std::nullopt, "the header= line is not of the form \"Name: value\""};
    request.headers.push_back(header);
  }
  return {std::move(request), {}};
}

}  // namespace varnley
