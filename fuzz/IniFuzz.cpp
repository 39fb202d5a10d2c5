// The INI reader and the settings loader over arbitrary bytes: no crash, an unchanged file
// written back byte for byte, writes that read back, and the one-pass loader agreeing with
// lookups through IniFile, the one-pass writers giving the bytes of the IniFile saves and files
// that load back what was saved, and the loader and one-pass writers needing memory in
// proportion to the file.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model/AddressCheck.h"
#include "model/IniFile.h"
#include "model/PasswordCoding.h"
#include "model/Settings.h"

namespace {

void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

// Straight from the rules: rows 1..hostcount read by name.
void ReferenceLoad(const varnley::IniFile& ini, varnley::AlertSettings& s,
                   std::vector<varnley::MonitoredHost>& hosts, bool& skippedHosts) {
  s.showMessage = ini.readBool("config", "message", s.showMessage);
  s.sendEmail = ini.readBool("config", "email", false);
  s.runAtLogon = ini.readBool("config", "run", false);
  s.interval = std::clamp(ini.readInteger("config", "interval", 1), varnley::kMinInterval,
                          varnley::kMaxInterval);
  s.smtpServer = ini.readString("email", "smtpserver", "");
  s.userName = ini.readString("email", "username", "");
  s.password = varnley::DecodePassword(ini.readString("email", "password", ""));
  s.receiveEmail = ini.readString("email", "mail", "");
  s.authentication = ini.readBool("email", "auth", false);
  const int count = ini.readInteger("config", "hostcount", 0);
  skippedHosts = count > 5000;
  for (int i = 1; !skippedHosts && i <= count; ++i) {
    const std::string section = "host" + std::to_string(i);
    const std::string host = ini.readString(section, "host", "");
    if (varnley::IsValidIP(host))
      hosts.push_back({host, varnley::LoadedPorts(ini.rawValue(section, "port").value_or("")), {}});
  }
}

// Live heap bytes and their high-water mark since the last Reset, kept by allocator hooks.
std::size_t live = 0;
std::size_t peak = 0;
void OnMalloc(const volatile void*, std::size_t size) {
  live += size;
  if (live > peak) peak = live;
}
void OnFree(const volatile void* p) {
  live -= __sanitizer_get_allocated_size(const_cast<const void*>(p));
}
void ResetPeak() { peak = live; }

// About four times the file plus a little: what a row, a section number or a copy of the file
// may cost, never something per line out of proportion to it.
void CheckMemory(std::size_t before, std::size_t size) {
  Check(peak - before <= 4 * size + 24 * 1024);
}

template <class Fn>
void Measured(std::size_t size, Fn&& fn) {
  ResetPeak();
  const std::size_t before = live;
  fn();
  CheckMemory(before, size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);

  // Read in pieces (as from a file) or whole, the lines are the same.
  using Lines = std::vector<std::pair<std::string, int>>;
  Lines whole, pieces;
  varnley::ForEachIniLine(content, [&](std::string_view l, int e) { whole.emplace_back(l, e); });
  const std::size_t piece = size == 0 ? 1 : data[0] % 16 + 1;
  varnley::IniLineSplitter splitter;
  const auto collect = [&](std::string_view l, int e) { pieces.emplace_back(l, e); };
  for (std::size_t at = 0; at < size; at += piece)
    splitter.feed(std::string_view(content).substr(at, piece), collect);
  splitter.finish(collect);
  Check(whole == pieces);

  varnley::IniFile ini(content);
  Check(ini.text() == content);

  varnley::AlertSettings fast, slow;
  std::vector<varnley::MonitoredHost> fastHosts, slowHosts;
  bool skipped = false;
  Measured(size, [&] { varnley::LoadSettingsFromText(content, fast, fastHosts); });
  ReferenceLoad(ini, slow, slowHosts, skipped);
  Check(fast == slow);
  Check(skipped || fastHosts == slowHosts);
  Check(fast.interval >= varnley::kMinInterval && fast.interval <= varnley::kMaxInterval);

  const std::string value = content.substr(0, std::min<std::size_t>(size, 64));
  const std::vector<std::vector<varnley::MonitoredHost>> hostLists = {
      {},
      fastHosts,
      {{"10.0.0.1", "80,", {}}, {value, value, {}}, {" 10.0.0.3", "\"21,\"", {}}},
      std::vector<varnley::MonitoredHost>(size % 7, varnley::MonitoredHost{value, "1,", {}}),
  };
  for (const auto& hosts : hostLists) {
    varnley::IniFile reference(content);
    varnley::SaveHostsToIni(reference, hosts);
    std::string saved;
    Measured(size, [&] { saved = varnley::SaveHostsToText(content, hosts); });
    Check(saved == reference.text());
  }

  // What the one-pass writers save loads back: the hosts that were loaded (all valid) and
  // the settings, whatever marks, sections or keys the file began with.
  {
    std::string saved;
    Measured(size, [&] { saved = varnley::SaveAlertSettingsToText(content, fast); });
    varnley::IniFile reference(content);
    varnley::SaveAlertSettingsToIni(reference, fast);
    Check(saved == reference.text());
    saved = varnley::SaveHostsToText(saved, fastHosts);
    varnley::AlertSettings back;
    std::vector<varnley::MonitoredHost> backHosts;
    varnley::LoadSettingsFromText(saved, back, backHosts);
    Check(backHosts == fastHosts);
    Check(back == fast);
  }

  // Writing what was loaded, and a value taken from the input, must read back; the saved file
  // must load the same hosts.
  varnley::SaveAlertSettingsToIni(ini, fast);
  varnley::SaveHostsToIni(ini, fastHosts);
  ini.writeString("fuzz", "value", value);
  const varnley::IniFile back(ini.text());
  std::string expected = value;
  for (char& c : expected)
    if (c == '\r' || c == '\n') c = ' ';
  Check(back.readString("fuzz", "value", "?") == expected.substr(0, 2047) ||
        expected.size() > 2047);
  varnley::AlertSettings again;
  std::vector<varnley::MonitoredHost> againHosts;
  varnley::LoadSettingsFromText(back.text(), again, againHosts);
  Check(againHosts == fastHosts);
  Check(again.smtpServer == fast.smtpServer && again.interval == fast.interval);
  return 0;
}
