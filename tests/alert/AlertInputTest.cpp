// The dialog's checks without widgets: the probe ranges come from the key table, the name
// servers are refused with the reason the resolver gives.
#include <gtest/gtest.h>

#include "alert/AlertInput.h"
#include "model/AlertSettings.h"
#include "model/SettingsKeys.h"

namespace varnley {
namespace {

TEST(AlertInputCheck, RefusesTheFirstFieldOutsideTheKeyTableAndTakesBackTheRest) {
  const SettingsKey* timeout = FindSettingsKey("config", "timeout");
  const SettingsKey* parallel = FindSettingsKey("config", "parallel");
  ASSERT_TRUE(timeout && parallel);
  struct Case {
    const char* name;
    std::string timeout, parallel, dns;
    std::optional<AlertField> refused;
  };
  const Case cases[] = {
      {"all at their ends", std::to_string(timeout->max), std::to_string(parallel->min),
       " 127.0.0.1:5353, [::1]:53 ", std::nullopt},
      {"timeout past its end", std::to_string(timeout->max + 1), "1", "", AlertField::Timeout},
      {"parallel below its end", "5", std::to_string(parallel->min - 1), "", AlertField::Parallel},
      {"a name where a server goes", "5", "1", "ns.example.com", AlertField::Dns},
      {"a port past 65535", "5", "1", "127.0.0.1:65536", AlertField::Dns},
      {"two servers without their comma", "5", "1", "127.0.0.1 127.0.0.2", AlertField::Dns},
  };
  for (const Case& c : cases) {
    AlertSettings settings;
    settings.dns = "127.0.0.9";
    AlertInput input = InputFromSettings(settings);
    EXPECT_EQ(input.dns, "127.0.0.9");
    input.timeout = c.timeout;
    input.parallel = c.parallel;
    input.dns = c.dns;
    const auto refusal = CheckAlertInput(input);
    ASSERT_EQ(refusal ? std::optional(refusal->field) : std::nullopt, c.refused) << c.name;
    if (refusal && *c.refused == AlertField::Dns) {
      EXPECT_NE(refusal->message.find("is no name server"), std::string::npos) << c.name;
    }
    TakeBackAlertInput(input, settings);
    // A refused server list keeps the old one; an accepted one is kept trimmed.
    const std::string kept = c.refused == AlertField::Dns ? "127.0.0.9"
                             : c.dns.empty()              ? ""
                                                          : "127.0.0.1:5353, [::1]:53";
    EXPECT_EQ(settings.dns, kept) << c.name;
    if (!c.refused) {
      EXPECT_EQ(settings.timeout, timeout->max) << c.name;
    }
  }
}

}  // namespace
}  // namespace varnley

namespace varnley {
namespace {

TEST(AlertInputCheck, TakesTheFirstWebhookAndNotifyAndLeavesTheFileOnlyOnesAlone) {
  struct Case {
    const char* name;
    std::string url;
    std::optional<std::string> format;
    const char* refusedWith;  // a part of the reason; nullptr: accepted
    std::string keptUrl;
    std::string keptFormat;
  };
  // The first webhook's format is "Slack" before each case.
  const Case cases[] = {
      {"https with a path, the same format in other letters", " https://hooks.example.org/T/B/xyz ",
       "slack", nullptr, "https://hooks.example.org/T/B/xyz", "Slack"},
      {"http with a port", "http://127.0.0.1:8080/in", "ntfy", nullptr, "http://127.0.0.1:8080/in",
       "ntfy"},
      {"an IPv6 literal", "http://[::1]:9/x", "json", nullptr, "http://[::1]:9/x", "json"},
      {"empty is none", "  ", "json", nullptr, "", "json"},
      {"no choice keeps the format", "http://h/", std::nullopt, nullptr, "http://h/", "Slack"},
      {"another scheme", "ftp://h/x", "json", "(not ftp://)", "http://old/", "json"},
      {"no scheme", "hooks.example.org/x", "json", "must begin with http:// or https://",
       "http://old/", "json"},
      {"no host", "https:///x", "json", "names no host", "http://old/", "json"},
      {"a port past 65535", "http://h:65536/", "json", "from 1 to 65535", "http://old/", "json"},
      {"a port that is no number", "http://h:x/", "json", "from 1 to 65535", "http://old/", "json"},
      {"a space inside", "http://h/a b", "json", "a space or a control character", "http://old/",
       "json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AlertSettings settings;
    settings.webhooks[0] = {"http://old/", "Slack", "Authorization: Bearer T", false};
    for (int n = 1; n < kWebhookCount; ++n)
      settings.webhooks[n] = {"https://h" + std::to_string(n) + "/p", "ntfy", "X: y", n % 2 == 0};
    const AlertSettings before = settings;
    AlertInput input = InputFromSettings(settings);
    EXPECT_EQ(input.webhook.url, "http://old/");
    EXPECT_EQ(input.webhook.format, "Slack");
    EXPECT_FALSE(input.notify);
    input.notify = true;
    input.webhook = {c.url, c.format};
    const auto refusal = CheckAlertInput(input);
    if (c.refusedWith) {
      ASSERT_TRUE(refusal);
      EXPECT_EQ(refusal->field, AlertField::WebhookUrl);
      EXPECT_NE(refusal->message.find(c.refusedWith), std::string::npos) << refusal->message;
      // The URL may hold the receiver's token: the reason never repeats what follows the host.
      EXPECT_EQ(refusal->message.find("/x"), std::string::npos) << refusal->message;
    } else {
      EXPECT_FALSE(refusal) << refusal->message;
    }
    const WebhookSettings tested = TestWebhook(input, settings.webhooks[0]);
    TakeBackAlertInput(input, settings);
    EXPECT_TRUE(settings.notify);
    EXPECT_EQ(settings.webhooks[0].url, c.keptUrl);
    EXPECT_EQ(settings.webhooks[0].format, c.keptFormat);
    EXPECT_EQ(settings.webhooks[0].header, before.webhooks[0].header);
    EXPECT_EQ(settings.webhooks[0].verify, before.webhooks[0].verify);
    for (int n = 1; n < kWebhookCount; ++n) EXPECT_EQ(settings.webhooks[n], before.webhooks[n]);
    // The Test button sends what OK would keep, with the file's header and switch.
    EXPECT_EQ(tested.header, "Authorization: Bearer T");
    EXPECT_FALSE(tested.verify);
    if (!c.refusedWith) {
      EXPECT_EQ(tested, settings.webhooks[0]);
    }
  }
}

}  // namespace
}  // namespace varnley
