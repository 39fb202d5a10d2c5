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
      {"parallel below its end", "5", std::to_string(parallel->min - 1), "",
       AlertField::Parallel},
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
