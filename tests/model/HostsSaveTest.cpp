// The writers over files of every odd shape: what is saved loads back, saving it again changes
// nothing, and new keys land where a reader of the file would look for them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/Settings.h"

namespace varnley {
namespace {

const std::string kBom = "\xEF\xBB\xBF";

struct FileCase {
  const char* name;
  std::string content;
};

const std::vector<FileCase>& Files() {
  static const std::vector<FileCase> files = {
      {"empty", ""},
      {"only a byte-order mark", kBom},
      {"byte-order mark then sections", kBom + "[config]\r\nhostcount=2\r\n[host1]\r\nhost=a\r\n"},
      {"byte-order mark twice", kBom + kBom + "\n[host1]\nport=1\n"},
      // The second mark is text: this is no [config] section, for readers and writers alike.
      {"byte-order mark twice before a section", kBom + kBom + "[config]\nhostcount=0\n"},
      {"blank line only", "\n"},
      {"lone CR", "\r"},
      {"comment without line end", "; notes"},
      {"the usual file, LF",
       "[config]\nhostcount=2\n[host1]\nhost=10.0.0.1\nport=80,\n[host2]\nhost=10.0.0.2\n"
       "port=21,\n"},
      {"the usual file, CR LF",
       "[config]\r\nhostcount=1\r\n[host1]\r\nhost=10.0.0.1\r\nport=80,\r\n"},
      {"mixed line ends, CR first", "[x]\rk=v\r\n[host1]\nhost=1\r\n[host2]\r"},
      {"mixed line ends, CR LF first", "; c\r\n[host1]\rhost=q\n\rport=\r\n"},
      {"no trailing newline after a key", "[config]\nhostcount=7"},
      {"no trailing newline after a header", "[host1]"},
      {"no trailing newline after a comment in a host section", "[host1]\nhost=a\n; tail"},
      {"keys missing, comments after the last key",
       "[host1]\nother=1\n; about host1\n\n[host2]\n; nothing\n[config]\nmessage=1\n\n"},
      {"hostcount missing", "[config]\nmessage=1\ninterval=5\n[email]\nmail=x\n"},
      {"sections in odd case and spacing",
       "[CONFIG]\nHostCount = 9\n[ Host1 ]\nHOST\t=  old\n  Port=80\n[hOsT2]\nhost=b\n"},
      {"duplicate sections keep their later copies",
       "[host1]\nhost=first\n[host1]\nhost=second\nport=2\n[config]\nhostcount=1\n[Config]\n"
       "hostcount=5\n"},
      {"duplicate keys: only the first changes",
       "[host1]\nhost=a\nhost=b\nport=1\nport=2\n[config]\nhostcount=0\nhostcount=0\n"},
      {"host sections beyond the list and look-alikes",
       "[host0]\nhost=z\n[host01]\nhost=y\n[host4]\nhost=x\n[host99999999999999999999]\n"
       "host=w\n[host-1]\n[host+2]\n[host 1]\n[host3]\nport=3\n"},
      {"keys before any section", "host=loose\nport=1\nhostcount=3\n[host1]\n"},
      {"values already quoted or spaced",
       "[host1]\nhost=\"10.0.0.1\"\nport= 80, \n[host2]\nhost='\"q\"'\nport=\"\"\n"},
      {"lines that are neither keys nor sections",
       "[host1\nhost=a\n=nokey\n[host1]x\nno equals\n  ;host=c\n[host2]junk\nport=9\n"},
      {"blank and control bytes around names",
       "\t[\x01host1\x02]\x03\nhost\x01=v\n[config]\r\n\x7fhostcount=1\n"},
      {"host section last, with its key the last line without an end",
       "[config]\nhostcount=1\n[host1]\nhost=10.0.0.1\nport=80,"},
      {"new sections after a file ending in a CR", "[email]\rmail=a\r"},
  };
  return files;
}

const std::vector<std::vector<MonitoredHost>>& HostLists() {
  static const std::vector<std::vector<MonitoredHost>> lists = {
      {},
      {{"10.0.0.1", "80,", ""}},
      {{"10.0.0.1", "80,", ""}, {"10.0.0.2", "21,", ""}, {"10.0.0.3", "", ""}},
      // Values the writer must quote or whose line breaks it must flatten.
      {{" spaced ", "'q'", ""},
       {"\"x\"", "a\r\nb", ""},
       {"", " ", ""},
       {"10.0.0.4", "1,", ""},
       {"10.0.0.5", "2,", ""}},
  };
  return lists;
}

TEST(HostsSave, WhatIsSavedLoadsBack) {
  const std::vector<MonitoredHost> hosts = {{"10.0.0.1", "80,", ""}, {"10.0.0.2", "", ""}};
  for (const FileCase& file : Files()) {
    AlertSettings settings;
    std::vector<MonitoredHost> loaded;
    LoadSettingsFromText(SaveHostsToText(file.content, hosts), settings, loaded);
    EXPECT_EQ(loaded, hosts) << file.name;
  }
}

TEST(AlertSettingsSave, WhatIsSavedLoadsBackAndSavesUnchanged) {
  AlertSettings changed;
  changed.showMessage = changed.sendEmail = changed.authentication = true;
  changed.interval = 300;
  changed.smtpServer = " mail.example.org:2525";
  changed.userName = "\"quoted\"";
  changed.password = "p\xC3\xA9";
  changed.receiveEmail = "ops@example.org";
  changed.security = "starttls";
  changed.parallel = 8;
  changed.dns = "127.0.0.1:5353";
  changed.remind = 30;
  changed.statusPage = false;
  changed.history = "off";
  changed.webhooks[2] = {"https://hooks.example.org/x", "slack", "Authorization: Bearer t", false};
  for (const FileCase& file : Files()) {
    for (const AlertSettings& settings : {AlertSettings{}, changed}) {
      const std::string saved = SaveAlertSettingsToText(file.content, settings);
      EXPECT_EQ(SaveAlertSettingsToText(saved, settings), saved) << file.name;
      AlertSettings loaded;
      std::vector<MonitoredHost> hosts;
      LoadSettingsFromText(saved, loaded, hosts);
      EXPECT_EQ(loaded, settings) << file.name;
    }
  }
}

TEST(HostsSave, SavingTheSavedFileChangesNothing) {
  for (const FileCase& file : Files()) {
    const auto& hosts = HostLists()[3];
    const std::string once = SaveHostsToText(file.content, hosts);
    EXPECT_EQ(SaveHostsToText(once, hosts), once) << file.name;
  }
}

TEST(HostsSave, MissingKeysGoAfterTheLastKeyWithTheFilesLineEnd) {
  const std::string content =
      kBom + "[host1]\r\nport=1\r\n; note\r\n[host1]\r\nhost=dup\r\n[config]\r\nhostcount=1";
  const std::vector<MonitoredHost> hosts{{"10.0.0.1", "80,", ""}, {" b", "2,", ""}};
  EXPECT_EQ(SaveHostsToText(content, hosts),
            kBom +
                "[host1]\r\nport=80,\r\nhost=10.0.0.1\r\n; note\r\n[host1]\r\nhost=dup\r\n"
                "[config]\r\nhostcount=2\r\n[host2]\r\nhost=\" b\"\r\nport=2,\r\n");
}

}  // namespace
}  // namespace varnley
