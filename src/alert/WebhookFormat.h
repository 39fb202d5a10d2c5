// What one webhook sends for an alert: the body and headers of each format, and the URL as it
// may be shown (scheme, host and port: the path, the query and any user name hold the token).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alert/Alert.h"
#include "model/AlertSettings.h"

namespace varnley {

struct WebhookRequest {
  std::string body;
  std::vector<std::string> headers;  // "Name: value" lines
};

// The request for the format ("json", "slack", "ntfy", any letter case; empty is json), or
// the reason it cannot be made: an unknown format, a header= line that is not "Name: value".
// `source` is the computer's name.
struct WebhookRequestOrReason {
  std::optional<WebhookRequest> request;
  std::string reason;
};
WebhookRequestOrReason BuildWebhookRequest(const WebhookSettings& webhook, const Alert& alert,
                                           const std::string& source);

// The text as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// "https://hooks.example.org:443" for any http or https URL; "" for anything else.
std::string WebhookDisplay(std::string_view url);
// The host of a URL (brackets of an IPv6 literal dropped), "" when it has none.
std::string UrlHost(std::string_view url);

// `text` with every secret of the webhook (the URL beyond its host, the header's value)
// blotted out, for reasons made from texts we did not write ourselves.
std::string WithoutSecrets(std::string text, const WebhookSettings& webhook);

}  // namespace varnley
