// The metrics address as a hostile or clumsy client meets it, over raw loopback sockets: idle
// and slow connections beside a scrape, stop with connections held, the exact-path table and
// malformed requests, the address already taken.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "alert/MailStatus.h"
#include "monitor/Session.h"
#include "service/HttpServer.h"
#include "service/MetricsEndpoint.h"
#include "support/RawClient.h"
#include "support/ServiceProcess.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::RawClient;

class MetricsHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!MetricsEndpoint::Available()) GTEST_SKIP() << "built without prometheus-cpp";
    std::string reason;
    ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", &reason)) << reason;
  }

  Session session{"", false};
  MailStatus mail;
  MetricsEndpoint endpoint{session.monitor(), session.hosts(), mail};
};

TEST_F(MetricsHttp, AnswerAScrapeWithinASecondWhileIdleAndSlowClientsHoldConnections) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 50; ++i) {
    idle.push_back(std::make_unique<RawClient>(endpoint.port()));
    ASSERT_TRUE(idle.back()->connected());
  }
  // Four clients that send a request a byte at a time, a byte a second.
  std::atomic<bool> done = false;
  std::vector<std::thread> slow;
  for (int i = 0; i < 4; ++i) {
    slow.emplace_back([&] {
      RawClient client(endpoint.port());
      const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      for (std::size_t at = 0; at < request.size() && !done; ++at) {
        client.send(request.substr(at, 1));
        for (int tick = 0; tick < 20 && !done; ++tick) std::this_thread::sleep_for(50ms);
      }
    });
  }
  std::this_thread::sleep_for(300ms);  // the slow ones are in their requests
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    const test::HttpReply reply = test::HttpRequest(endpoint.port(), "GET", "/metrics");
    const auto took = Clock::now() - start;
    EXPECT_EQ(reply.status, 200);
    EXPECT_LT(took, 1s) << "scrape " << i;
  }
  done = true;
  for (std::thread& t : slow) t.join();
}

TEST(HttpServerLimits, CutASlowRequestWithAStatusLineAndCloseAnIdleConnection) {
  HttpServer::Limits limits;
  limits.request = 300ms;
  HttpServer server(
      [](const HttpRequest&) {
        return HttpResponse{200, "text/plain", "ok", {}};
      },
      limits);
  ASSERT_TRUE(server.Listen(0x7f000001, 0).ok);
  RawClient slow(server.port()), idle(server.port());
  ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\nHost"));
  const auto start = Clock::now();
  EXPECT_EQ(slow.readAll().rfind("HTTP/1.1 408 ", 0), 0u);
  EXPECT_TRUE(slow.closed());
  EXPECT_EQ(idle.readAll(), "");
  EXPECT_TRUE(idle.closed());
  EXPECT_LT(Clock::now() - start, 2s);

  // A keep-alive connection is served again, pipelined requests in order, within the same
  // limits.
  RawClient kept(server.port());
  kept.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string two = kept.readAnswers(2);
  EXPECT_EQ(two.rfind("HTTP/1.1 200 ", 0), 0u) << two;
  EXPECT_NE(two.find("HTTP/1.1 200 ", 5), std::string::npos) << two;
}

TEST(HttpServerLimits, DropTheOldestQuietConnectionBeyondTheCap) {
  HttpServer::Limits limits;
  limits.connections = 8;
  HttpServer server(
      [](const HttpRequest&) {
        return HttpResponse{200, "text/plain", "ok", {}};
      },
      limits);
  ASSERT_TRUE(server.Listen(0x7f000001, 0).ok);
  RawClient first(server.port());
  ASSERT_TRUE(test::WaitFor([&] { return first.send(""); }));
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 20; ++i) held.push_back(std::make_unique<RawClient>(server.port()));
  EXPECT_EQ(first.readAll(), "");
  EXPECT_TRUE(first.closed());
  RawClient scrape(server.port());
  scrape.send("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(scrape.readAll().rfind("HTTP/1.1 200 ", 0), 0u);
}

TEST_F(MetricsHttp, StopWithinASecondWhileClientsHoldConnections) {
  RawClient idle(endpoint.port()), partial(endpoint.port());
  partial.send("GET /metrics HTTP/1.1\r\n");
  ASSERT_EQ(test::HttpRequest(endpoint.port(), "GET", "/metrics").status, 200);
  // Moving to another address, as a reload does, then stopping.
  auto start = Clock::now();
  ASSERT_TRUE(endpoint.Listen("127.0.0.1:0", nullptr));
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_TRUE(idle.readAll(1s).empty() && idle.closed());
  RawClient held(endpoint.port());
  start = Clock::now();
  ASSERT_TRUE(endpoint.Listen("", nullptr));
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_TRUE(held.readAll(1s).empty() && held.closed());
}

struct RawCase {
  const char* name;
  std::string request;
  const char* status;  // the status line's start
};

TEST_F(MetricsHttp, AnswerOnlyTheExactPathAndEveryMalformedRequestWithAStatusLine) {
  const std::string end = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  const RawCase cases[] = {
      {"the page", "GET /metrics" + end, "HTTP/1.1 200 "},
      {"with a query", "GET /metrics?name=x" + end, "HTTP/1.1 200 "},
      {"HTTP/1.0", "GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 "},
      {"dot segments", "GET /x/../metrics" + end, "HTTP/1.1 404 "},
      {"doubled slash", "GET //metrics" + end, "HTTP/1.1 404 "},
      {"escaped letter", "GET /%6detrics" + end, "HTTP/1.1 404 "},
      {"escaped NUL", "GET /metrics%00.txt" + end, "HTTP/1.1 404 "},
      {"trailing slash", "GET /metrics/" + end, "HTTP/1.1 404 "},
      {"letter case", "GET /METRICS" + end, "HTTP/1.1 404 "},
      {"absolute form", "GET http://127.0.0.1/metrics" + end, "HTTP/1.1 400 "},
      {"HTTP/0.9", "GET /metrics\r\n", "HTTP/1.1 400 "},
      {"HTTP/2.0", "GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 505 "},
      {"websocket upgrade",
       "GET /metrics HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 200 "},
      {"a TLS hello", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\n", 12),
       "HTTP/1.1 400 "},
      {"header without colon", "GET /metrics HTTP/1.1\r\nHost x\r\n\r\n", "HTTP/1.1 400 "},
      {"folded header", "GET /metrics HTTP/1.1\r\nHost: x\r\n  folded\r\n\r\n", "HTTP/1.1 400 "},
      {"two lengths", "GET /metrics HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\n",
       "HTTP/1.1 400 "},
      {"huge head", "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 "},
      {"huge request line", "GET /" + std::string(20000, 'a'), "HTTP/1.1 431 "},
      {"post with a body", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello",
       "HTTP/1.1 405 "},
      {"unknown method", "BREW /metrics" + end, "HTTP/1.1 405 "},
      // A body far beyond what the server reads still gets its answer.
      {"post with a large body",
       "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 4000000\r\n\r\n" +
           std::string(4000000, 'x'),
       "HTTP/1.1 405 "},
      {"bare line feeds", "GET /metrics HTTP/1.1\nHost: x\nConnection: close\n\n", "HTTP/1.1 200 "},
  };
  for (const RawCase& c : cases) {
    RawClient client(endpoint.port());
    ASSERT_TRUE(client.connected());
    client.send(c.request);
    const auto start = Clock::now();
    const std::string reply = client.readAll();
    EXPECT_EQ(reply.rfind(c.status, 0), 0u) << c.name << ": " << reply.substr(0, 80);
    EXPECT_TRUE(client.closed()) << c.name;
    // Answered at once, not when a time limit ran out.
    EXPECT_LT(Clock::now() - start, 1s) << c.name;
    if (reply.rfind("HTTP/1.1 405 ", 0) == 0) {
      EXPECT_NE(reply.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << c.name;
    }
  }
}

TEST_F(MetricsHttp, SayInOurWordsThatTheAddressIsTaken) {
  MetricsEndpoint other(session.monitor(), session.hosts(), mail);
  const std::string taken = "127.0.0.1:" + std::to_string(endpoint.port());
  EXPECT_EQ(ListenWhereSettingsSay(other, taken),
            "Varnley: metrics: " + taken + " is already in use");
  EXPECT_EQ(other.port(), 0);
}

}  // namespace
}  // namespace varnley
