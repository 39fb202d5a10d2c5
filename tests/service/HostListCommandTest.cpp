// "--import" and "--export" against a real settings file: the summary and refusals, one save
// that keeps the rest of the file, the exit statuses, and the refusal while another copy holds
// the file.
#include "service/HostListCommand.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <sstream>

#include "model/TempDir.h"
#include "platform/InstanceLock.h"

namespace varnley {
namespace {

class HostListCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VARNLEY_INSTANCE_DIR", dir_.file("locks").c_str(), 1); }
  void TearDown() override { unsetenv("VARNLEY_INSTANCE_DIR"); }

  int run(Command command, const std::string& file) {
    CommandLine line;
    line.command = command;
    line.hostListFile = file;
    out_.str("");
    err_.str("");
    return RunHostListCommand(line, settings_, out_, err_);
  }

  test::TempDir dir_;
  std::string settings_ = dir_.file("varnley.ini");
  std::ostringstream out_, err_;
};

TEST_F(HostListCommandTest, ImportMergesIntoTheFileKeepingEverythingElse) {
  const std::string original =
      "; my hosts\n[config]\ninterval=30\nhostcount=1\n[host1]\nhost=10.0.0.5\nport=80,\n";
  test::WriteText(settings_, original);
  const std::string list = dir_.file("list.txt");
  test::WriteText(list, "10.0.0.5:443\n10.0.0.6 22\n10.0.0.300:1\n");
  ASSERT_EQ(run(Command::Import, list), 0) << err_.str();
  EXPECT_EQ(out_.str(),
            "line 3: 10.0.0.300 is not a valid address\n"
            "1 host added, 1 merged into existing rows, 0 already there; 2 ports added, 0 "
            "already there; 1 line refused\n");
  const std::string saved = test::ReadText(settings_);
  EXPECT_NE(saved.find("; my hosts\n"), std::string::npos);
  EXPECT_NE(saved.find("interval=30"), std::string::npos);
  EXPECT_NE(saved.find("port=80,443,"), std::string::npos);
  EXPECT_NE(saved.find("host=10.0.0.6"), std::string::npos);

  // Nothing readable: status 1 and the file untouched; the same list again changes nothing.
  test::WriteText(list, "# nothing\n999.1.1.1\n");
  EXPECT_EQ(run(Command::Import, list), 1);
  EXPECT_EQ(run(Command::Import, dir_.file("missing.txt")), 1);
  EXPECT_NE(err_.str().find("no such file"), std::string::npos);
  EXPECT_EQ(test::ReadText(settings_), saved);
}

TEST_F(HostListCommandTest, ExportWritesCsvAndBothRefuseWhileAnotherCopyHoldsTheFile) {
  test::WriteText(settings_, "[config]\nhostcount=1\n[host1]\nhost=10.0.0.5\nport=80,443,\n");
  const std::string csv = dir_.file("out.csv");
  ASSERT_EQ(run(Command::Export, csv), 0) << err_.str();
  EXPECT_EQ(test::ReadText(csv), "host,port,state\n10.0.0.5,80,unknown\n10.0.0.5,443,unknown\n");

  InstanceLock other(InstanceLock::PathForSettings(settings_));
  ASSERT_EQ(other.acquire(), InstanceLock::Result::Acquired);
  const std::string before = test::ReadText(settings_);
  EXPECT_EQ(run(Command::Import, csv), 1);
  EXPECT_NE(err_.str().find("another copy is running on"), std::string::npos);
  EXPECT_EQ(run(Command::Export, dir_.file("again.csv")), 1);
  EXPECT_EQ(test::ReadText(settings_), before);
}

#ifdef VARNLEY_EXE
TEST_F(HostListCommandTest, TheProgramImportsWithoutADisplay) {
  const std::string list = dir_.file("list.json");
  test::WriteText(list, "[{\"targets\": [\"127.0.0.1:8080\", \"[::1]:9100\"], \"labels\": {}}]");
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + std::string(VARNLEY_EXE) +
                              " --import " + list + " --config " + settings_ + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = pclose(pipe);
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(output.find("2 hosts added"), std::string::npos) << output;
  const std::string saved = test::ReadText(settings_);
  EXPECT_NE(saved.find("host=::1"), std::string::npos) << saved;
}
#endif

}  // namespace
}  // namespace varnley
