// The resolver against a real name server (dnsmasq) and a scripted hostile one, all on
// loopback: answers, the cache, reasons, deadlines and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "platform/Resolver.h"
#include "platform/StopSource.h"
#include "support/Dnsmasq.h"
#include "support/HostileDnsServer.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

IpAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return IpAddress::V4({a, b, c, d});
}
IpAddress Loopback6() { return IpAddress::V6(*ParseIPv6("::1")); }

LookupAnswer Resolve(Resolver& resolver, const std::string& name,
                     std::chrono::milliseconds limit = 5s) {
  const auto answer = ResolveName(resolver, name, Deadline::After(limit), nullptr);
  EXPECT_TRUE(answer.has_value());
  return answer.value_or(LookupAnswer{});
}

// Runs the resolver's loop until every lookup has its answer or the deadline has passed.
void Drain(Resolver& resolver, const Deadline& deadline) {
  while (resolver.busy() && !deadline.expired()) {
    pollfd p{resolver.descriptor(), POLLIN, 0};
    ::poll(&p, 1, resolver.waitMs());
    resolver.process();
  }
}

TEST(ParseNameServers, Table) {
  struct Case {
    const char* text;
    std::vector<std::pair<const char*, int>> servers;  // address text, port
    bool valid = true;
  };
  const Case cases[] = {
      {"", {}},
      {"  ", {}},
      {"127.0.0.1", {{"127.0.0.1", 53}}},
      {"127.0.0.1:5353", {{"127.0.0.1", 5353}}},
      {" 10.0.0.5:53 , [::1]:5300,::1", {{"10.0.0.5", 53}, {"::1", 5300}, {"::1", 53}}},
      {"[2001:DB8::1]", {{"2001:db8::1", 53}}},
      {"127.0.0.1:0", {}, false},
      {"127.0.0.1:65536", {}, false},
      {"127.0.0.1:", {}, false},
      {"127.0.0.1,", {}, false},
      {"ns.example.com", {}, false},
      {"[::1]53", {}, false},
      {"[::1", {}, false},
      {"::1:53x", {}, false},
      {"1.2.3", {}, false},
  };
  for (const Case& c : cases) {
    std::string reason;
    const auto servers = ParseNameServers(c.text, &reason);
    ASSERT_EQ(servers.has_value(), c.valid) << c.text;
    if (!servers) {
      EXPECT_FALSE(reason.empty());
      continue;
    }
    ASSERT_EQ(servers->size(), c.servers.size()) << c.text;
    for (std::size_t i = 0; i < c.servers.size(); ++i) {
      EXPECT_EQ(IpAddressText((*servers)[i].address), c.servers[i].first) << c.text;
      EXPECT_EQ((*servers)[i].port, c.servers[i].second) << c.text;
    }
  }
}

class ResolverDnsmasq : public ::testing::Test {
 protected:
  void SetUp() override { Resolver::ClearCache(); }
  test::Dnsmasq server{{"--address=/up.test/127.0.0.5", "--address=/v6.test/::1",
                        "--host-record=both.test,127.0.0.6,::1"}};
};

TEST_F(ResolverDnsmasq, AnswersAAndAaaaRecords) {
  Resolver resolver(server.dns());
  EXPECT_EQ(Resolve(resolver, "up.test").addresses, std::vector<IpAddress>{V4(127, 0, 0, 5)});
  EXPECT_EQ(Resolve(resolver, "v6.test").addresses, std::vector<IpAddress>{Loopback6()});
  auto both = Resolve(resolver, "both.test").addresses;
  std::sort(both.begin(), both.end(), [](auto& a, auto& b) { return a.v6 < b.v6; });
  EXPECT_EQ(both, (std::vector<IpAddress>{V4(127, 0, 0, 6), Loopback6()}));
  const LookupAnswer missing = Resolve(resolver, "nosuch.test");
  EXPECT_EQ(missing.failure, LookupFailure::noSuchName);
  EXPECT_TRUE(missing.addresses.empty());
  EXPECT_STREQ(LookupFailureText(missing.failure), "no such name");
}

TEST_F(ResolverDnsmasq, ManyLookupsInFlightAtOnce) {
  Resolver resolver(server.dns());
  int answered = 0, found = 0;
  const Deadline deadline = Deadline::After(5s);
  for (int i = 0; i < 50; ++i) {
    const std::string name = i % 2 ? "up.test" : "nosuch" + std::to_string(i) + ".test";
    resolver.lookup(name, deadline, [&](const LookupAnswer& a) {
      ++answered;
      found += a.failure == LookupFailure::none;
    });
  }
  Drain(resolver, deadline);
  EXPECT_EQ(answered, 50);
  EXPECT_EQ(found, 25);
}

TEST_F(ResolverDnsmasq, AnswersAreKeptFailuresAreNot) {
  test::Dnsmasq longLived({"--address=/kept.test/127.0.0.7", "--local-ttl=60"});
  Resolver resolver(longLived.dns());
  EXPECT_EQ(Resolve(resolver, "kept.test").failure, LookupFailure::none);
  EXPECT_EQ(Resolve(resolver, "late.test").failure, LookupFailure::noSuchName);
  longLived.restart({"--address=/late.test/127.0.0.8", "--local-ttl=60"});
  // The kept answer outlives the record; the failure was not kept and is asked again.
  Resolver another(longLived.dns());
  EXPECT_EQ(Resolve(another, "kept.test").addresses, std::vector<IpAddress>{V4(127, 0, 0, 7)});
  EXPECT_EQ(Resolve(another, "late.test").addresses, std::vector<IpAddress>{V4(127, 0, 0, 8)});
  // Other servers keep answers of their own.
  EXPECT_EQ(Resolve(resolver, "kept.test").failure, LookupFailure::none);
  Resolver elsewhere(server.dns());
  EXPECT_EQ(Resolve(elsewhere, "kept.test").failure, LookupFailure::noSuchName);
}

TEST_F(ResolverDnsmasq, AChangedRecordIsFollowedOnceItsTtlIsOver) {
  Resolver resolver(server.dns());
  EXPECT_EQ(Resolve(resolver, "up.test").addresses, std::vector<IpAddress>{V4(127, 0, 0, 5)});
  server.restart({"--address=/up.test/127.0.0.9"});
  // dnsmasq gives its records TTL 0, which is kept for the shortest life, one second.
  const auto until = Clock::now() + 5s;
  std::vector<IpAddress> now;
  while (Clock::now() < until) {
    now = Resolve(resolver, "up.test").addresses;
    if (now == std::vector<IpAddress>{V4(127, 0, 0, 9)}) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(now, std::vector<IpAddress>{V4(127, 0, 0, 9)});
}

TEST(Resolver, ANameInFlightIsAskedOnceForAllItsCallers) {
  Resolver::ClearCache();
  test::HostileDnsServer server(test::HostileDnsServer::Mode::servfail);
  Resolver resolver(server.dns());
  int answered = 0;
  const Deadline deadline = Deadline::After(2s);
  for (int i = 0; i < 20; ++i)
    resolver.lookup("shared.test", deadline, [&](const LookupAnswer& a) {
      answered += a.failure == LookupFailure::serverFailure;
    });
  Drain(resolver, deadline);
  EXPECT_EQ(answered, 20);
  EXPECT_EQ(server.queries(), 2);  // one A and one AAAA query
}

TEST(Resolver, HostsFileNamesNeedNoServer) {
  Resolver::ClearCache();
  // Servers that would never answer: localhost must come from the hosts file alone.
  test::HostileDnsServer silent(test::HostileDnsServer::Mode::silent);
  Resolver resolver(silent.dns());
  const auto start = Clock::now();
  const LookupAnswer answer = Resolve(resolver, "localhost");
  EXPECT_EQ(answer.failure, LookupFailure::none);
  EXPECT_NE(std::find(answer.addresses.begin(), answer.addresses.end(), V4(127, 0, 0, 1)),
            answer.addresses.end());
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(silent.queries(), 0);
}

TEST(Resolver, UnusableServerTextFailsWithoutAskingAnyone) {
  Resolver resolver("ns.example.com:53");
  EXPECT_EQ(Resolve(resolver, "up.test").failure, LookupFailure::serverFailure);
}

TEST(Resolver, HostileServersGiveCleanReasonsInBoundedTime) {
  using Mode = test::HostileDnsServer::Mode;
  struct Case {
    Mode mode;
    std::vector<LookupFailure> reasons;  // any of these
    std::chrono::milliseconds within;
  };
  const Case cases[] = {
      {Mode::silent, {LookupFailure::noAnswer}, 1500ms},
      {Mode::servfail, {LookupFailure::serverFailure}, 1000ms},
      {Mode::truncated, {LookupFailure::noAnswer, LookupFailure::serverFailure}, 1500ms},
      {Mode::malformed, {LookupFailure::noAnswer, LookupFailure::serverFailure}, 1500ms},
  };
  for (const Case& c : cases) {
    Resolver::ClearCache();
    test::HostileDnsServer server(c.mode);
    Resolver resolver(server.dns());
    const auto start = Clock::now();
    const LookupAnswer answer = Resolve(resolver, "hostile.test", 1000ms);
    const auto took = Clock::now() - start;
    EXPECT_NE(std::find(c.reasons.begin(), c.reasons.end(), answer.failure), c.reasons.end())
        << static_cast<int>(c.mode) << ": " << LookupFailureText(answer.failure);
    EXPECT_TRUE(answer.addresses.empty());
    EXPECT_LT(took, c.within) << static_cast<int>(c.mode);
    EXPECT_GT(server.queries(), 0);
  }
}

TEST(Resolver, ThousandsOfRecordsAreCutToAFew) {
  Resolver::ClearCache();
  test::HostileDnsServer server(test::HostileDnsServer::Mode::thousands);
  Resolver resolver(server.dns());
  const LookupAnswer answer = Resolve(resolver, "many.test");
  ASSERT_EQ(answer.failure, LookupFailure::none);
  EXPECT_EQ(answer.addresses.size(), kMaxAddressesPerName);
  EXPECT_EQ(answer.addresses.front(), V4(127, 0, 0, 1));
}

TEST(Resolver, StopEndsALookupOfASilentServerAtOnce) {
  Resolver::ClearCache();
  test::HostileDnsServer silent(test::HostileDnsServer::Mode::silent);
  Resolver resolver(silent.dns());
  StopSource stop;
  auto lookup = std::async(std::launch::async, [&] {
    return ResolveName(resolver, "silent.test", Deadline::After(1h), &stop);
  });
  ASSERT_EQ(lookup.wait_for(300ms), std::future_status::timeout);
  const auto start = Clock::now();
  stop.requestStop();
  ASSERT_EQ(lookup.wait_for(1s), std::future_status::ready);
  EXPECT_FALSE(lookup.get().has_value());
  EXPECT_LT(Clock::now() - start, 1s);
}

}  // namespace
}  // namespace varnley
