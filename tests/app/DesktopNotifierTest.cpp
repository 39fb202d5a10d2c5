// Desktop notifications on a private session bus with a recording notification service of the
// tests' own: the urgency of each, the DOWN that replaces the last one shown, the balloon
// when no service is there.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/DesktopNotifier.h"

namespace varnley {
namespace {

using namespace std::chrono_literals;

// Runs the event loop until the condition holds or the deadline passes.
template <typename Condition>
bool Until(Condition condition, std::chrono::milliseconds deadline = 10s) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A dbus-daemon of the test's own, ended by its pid.
class PrivateBus {
 public:
  PrivateBus() {
    FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    if (!out) return;
    char line[512];
    if (std::fgets(line, sizeof line, out)) address_ = QString::fromLatin1(line).trimmed();
    if (std::fgets(line, sizeof line, out)) pid_ = std::atoi(line);
    ::pclose(out);
  }
  ~PrivateBus() {
    QDBusConnection::disconnectFromBus(QStringLiteral("varnley-test"));
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  bool ok() const { return !address_.isEmpty() && pid_ > 0; }
  const QString& address() const { return address_; }
  QDBusConnection connection() const {
    return QDBusConnection::connectToBus(address_, QStringLiteral("varnley-test"));
  }

 private:
  QString address_;
  int pid_ = 0;
};

struct Record {
  unsigned id = 0, replaces = 0;
  int urgency = -1;
  bool urgencyIsByte = false;
  std::string body;
};

// The service's JSON lines, read with the little parsing their fixed shape needs.
std::vector<Record> ReadRecords(const QString& file) {
  std::vector<Record> records;
  std::ifstream in(file.toStdString());
  std::string line;
  auto number = [&](const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + key.size() + 4);
  };
  while (std::getline(in, line)) {
    Record r;
    r.id = static_cast<unsigned>(number("id"));
    r.replaces = static_cast<unsigned>(number("replaces"));
    r.urgency = number("urgency");
    r.urgencyIsByte = line.find("\"urgency_is_byte\": true") != std::string::npos;
    const std::size_t body = line.find("\"body\": \"");
    if (body != std::string::npos)
      r.body = line.substr(body + 9, line.find("\", ", body + 9) - body - 9);
    records.push_back(r);
  }
  return records;
}

Alert Of(AlertEvent event, std::string text) {
  Alert alert;
  alert.event = event;
  alert.text = std::move(text);
  return alert;
}

struct Balloons {
  std::vector<std::pair<std::string, bool>> shown;
  DesktopNotifier::Balloon sink() {
    return [this](const QString&, const QString& text, bool critical) {
      shown.emplace_back(text.toStdString(), critical);
    };
  }
};

TEST(DesktopNotifier, DownIsCriticalAndReplacesTheLastDownShownUpIsNormal) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon could not be started";
  QTemporaryDir dir;
  const QString recordFile = dir.filePath(QStringLiteral("notifications.jsonl"));
  QProcess service;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
  service.setProcessEnvironment(env);
  service.start(
      QStringLiteral("/usr/bin/python3"),
      {QString::fromStdString(std::string(VARNLEY_TESTS_DIR) + "/support/notification_service.py"),
       recordFile});
  QDBusConnection connection = bus.connection();
  ASSERT_TRUE(connection.isConnected());
  ASSERT_TRUE(Until([&] {
    return connection.interface()->isServiceRegistered(
        QStringLiteral("org.freedesktop.Notifications"));
  })) << "the recording service did not come up";

  Balloons balloons;
  DesktopNotifier notifier(balloons.sink(), connection);
  auto records = [&] { return ReadRecords(recordFile); };

  notifier.Show(Of(AlertEvent::down, "\"127.0.0.1:81\" is DOWN."));
  ASSERT_TRUE(Until([&] { return notifier.shownDownId() != 0; }));
  notifier.Show(Of(AlertEvent::up, "\"127.0.0.1:81\" is UP."));
  notifier.Show(Of(AlertEvent::reminder, "\"127.0.0.1:82\" is still DOWN (since 03:35)."));
  ASSERT_TRUE(Until([&] { return records().size() == 3 && notifier.pendingCalls() == 0; }));
  const unsigned firstDown = notifier.shownDownId();

  // The user closes it: the next DOWN is a notification of its own.
  QDBusMessage close = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("CloseNotification"));
  close << firstDown;
  connection.call(close);
  ASSERT_TRUE(Until([&] { return notifier.shownDownId() == 0; }));
  notifier.Show(Of(AlertEvent::down, "\"127.0.0.1:83\" is DOWN."));
  ASSERT_TRUE(Until([&] { return records().size() == 4; }));

  const std::vector<Record> r = records();
  EXPECT_EQ(r[0].urgency, 2);
  EXPECT_TRUE(r[0].urgencyIsByte) << "urgency must be a byte";
  EXPECT_EQ(r[0].replaces, 0u);
  EXPECT_EQ(r[0].body, "\\\"127.0.0.1:81\\\" is DOWN.");
  EXPECT_EQ(r[1].urgency, 1);
  EXPECT_EQ(r[1].replaces, 0u) << "an UP never replaces the DOWN";
  EXPECT_EQ(r[2].urgency, 2);
  EXPECT_EQ(r[2].replaces, r[0].id) << "a new DOWN replaces the last one still shown";
  EXPECT_EQ(r[3].replaces, 0u);
  EXPECT_NE(r[3].id, r[0].id);
  EXPECT_TRUE(balloons.shown.empty());

  service.terminate();
  service.waitForFinished(5000);
}

TEST(DesktopNotifier, WithoutTheServiceTheTrayBalloonAndWithoutATrayNothing) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok());
  Balloons balloons;
  DesktopNotifier notifier(balloons.sink(), bus.connection());
  notifier.Show(Of(AlertEvent::down, "\"127.0.0.1:81\" is DOWN."));
  notifier.Show(Of(AlertEvent::up, "\"127.0.0.1:81\" is UP."));
  ASSERT_EQ(balloons.shown.size(), 2u);
  EXPECT_EQ(balloons.shown[0], std::make_pair(std::string("\"127.0.0.1:81\" is DOWN."), true));
  EXPECT_EQ(balloons.shown[1].second, false);

  // No bus at all, no tray: nothing happens, and nothing breaks.
  DesktopNotifier silent({}, QDBusConnection(QStringLiteral("none")));
  silent.Show(Of(AlertEvent::down, "x"));
  EXPECT_EQ(silent.shownDownId(), 0u);
}

}  // namespace
}  // namespace varnley
