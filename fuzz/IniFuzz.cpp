// The settings file over arbitrary bytes: no crash; lines the same whole or in pieces; an
// unchanged document written back byte for byte; every value the loader keeps within its row's
// range; what is saved loading back what was loaded (load, save, load agree); a value taken
// from the input reading back as written; and the loader and writers needing memory in
// proportion to the file.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model/AddressCheck.h"
#include "model/IniDocument.h"
#include "model/Settings.h"
#include "model/SettingsKeys.h"

namespace {

void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

// Load reports are checked for their shape; printing thousands of them would slow the run.
class Quiet : public varnley::Diagnostics {
 public:
  void Report(varnley::Severity, std::string_view text) override {
    Check(text.rfind("settings", 0) == 0);
  }
} quiet;

// A plan that changes nothing.
struct NoChanges {
  static constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t count() const { return 0; }
  std::size_t find(std::string_view) const { return kNone; }
  std::string name(std::size_t) const { return {}; }
  std::size_t keyCount(std::size_t) const { return 0; }
  std::string_view key(std::size_t, std::size_t) const { return {}; }
  std::string_view value(std::size_t, std::size_t) const { return {}; }
  bool addIfMissing(std::size_t, std::size_t) const { return false; }
  bool keepsLine(std::size_t, std::size_t, std::string_view) const { return true; }
};

// Every value within what its row allows.
void CheckRanges(const varnley::AlertSettings& s,
                 const std::vector<varnley::MonitoredHost>& hosts) {
  for (const varnley::SettingsKey& row : varnley::SettingsKeys()) {
    if (row.type == varnley::KeyType::Integer) {
      const int v = s.*row.field.integer;
      Check(v >= row.min && v <= row.max);
    }
    if (row.type == varnley::KeyType::Choice)
      for (const auto& hook : s.webhooks)
        Check(row.choices.find(hook.*row.field.webhookText) != std::string_view::npos &&
              !(hook.*row.field.webhookText).empty());
  }
  for (const auto& host : hosts) {
    Check(varnley::IsValidHost(host.host));
    Check(varnley::NormalisePorts(host.ports) == host.ports);
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

  // A save that changes nothing leaves every byte where it was.
  {
    std::string written;
    const varnley::IniDocument document(content, varnley::IniDocument::Borrow{});
    document.write(NoChanges{}, [&](std::string_view piece) { written += piece; });
    Check(written == content);
  }

  varnley::AlertSettings loaded;
  std::vector<varnley::MonitoredHost> hosts;
  Measured(size, [&] { varnley::LoadSettingsFromText(content, loaded, hosts, quiet); });
  CheckRanges(loaded, hosts);

  const std::string value = content.substr(0, std::min<std::size_t>(size, 64));
  const std::vector<std::vector<varnley::MonitoredHost>> hostLists = {
      {},
      hosts,
      {{"10.0.0.1", "80,", {}}, {value, value, {}}, {" 10.0.0.3", "\"21,\"", {}}},
      std::vector<varnley::MonitoredHost>(size % 7, varnley::MonitoredHost{value, "1,", {}}),
  };
  for (const auto& list : hostLists) {
    std::string saved;
    Measured(size, [&] { saved = varnley::SaveHostsToText(content, list); });
    // Saving the saved file again finds every key where the first save put it.
    Check(varnley::SaveHostsToText(saved, list) == saved);
  }

  // Load, save, load: the settings and hosts that were loaded come back, whatever marks,
  // sections or keys the file began with.
  {
    std::string saved;
    Measured(size, [&] { saved = varnley::SaveAlertSettingsToText(content, loaded); });
    saved = varnley::SaveHostsToText(saved, hosts);
    varnley::AlertSettings back;
    std::vector<varnley::MonitoredHost> backHosts;
    varnley::LoadSettingsFromText(saved, back, backHosts, quiet);
    Check(backHosts == hosts);
    Check(back == loaded);
    Check(varnley::SaveAlertSettingsToText(saved, back) == saved);
  }

  // A value from the input reads back as written (line breaks flattened, cut to the limit),
  // and cannot forge lines: the hosts stay those that were loaded.
  {
    varnley::AlertSettings withValue = loaded;
    withValue.userName = value;
    withValue.webhooks[static_cast<std::size_t>(size % varnley::kWebhookCount)].header = value;
    const std::string saved =
        varnley::SaveHostsToText(varnley::SaveAlertSettingsToText(content, withValue), hosts);
    varnley::AlertSettings back;
    std::vector<varnley::MonitoredHost> backHosts;
    varnley::LoadSettingsFromText(saved, back, backHosts, quiet);
    std::string expected = value;
    for (char& c : expected)
      if (c == '\r' || c == '\n') c = ' ';
    Check(back.userName == expected);
    Check(back.webhooks[size % varnley::kWebhookCount].header == expected);
    Check(backHosts == hosts);
  }
  return 0;
}
