// The writers: the alert settings and the hosts as plans of changes to the file's document.
#include "model/Settings.h"

#include <cstdint>
#include <new>
#include <utility>

#include "model/PasswordCoding.h"
#include "model/SettingsKeys.h"
#include "platform/FileAccess.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace varnley {

namespace {

std::string HostSection(std::size_t i) { return "host" + std::to_string(i); }

// The alert-settings save as a plan for IniDocument::write: [config], [email] and [webhookN],
// each with its rows' keys.
class AlertPlan {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  // newFile: there is no file yet, so it gets every setting that says something.
  AlertPlan(const AlertSettings& settings, bool newFile) {
    for (const SettingsKey& row : SettingsKeys()) {
      if (row.type == KeyType::Hosts) continue;
      const std::size_t instances = row.numbered() ? kWebhookCount : 1;
      for (std::size_t i = 0; i < instances; ++i) {
        const std::string name = row.numbered() ? std::string(row.section) + std::to_string(i + 1)
                                                : std::string(row.section);
        Section& section = sectionNamed(name);
        auto [text, isDefault] = Format(row, settings, i);
        const bool add = row.write == KeyWrite::Always ||
                         (row.write == KeyWrite::Optional && !isDefault) ||
                         (row.write == KeyWrite::NewFileOnly && newFile && !isDefault);
        const bool keep = row.write == KeyWrite::NewFileOnly && !newFile;
        section.keys.push_back({row.key, std::move(text), add, keep});
      }
    }
  }

  std::size_t count() const { return sections_.size(); }
  std::size_t find(std::string_view name) const {
    for (std::size_t i = 0; i < sections_.size(); ++i)
      if (EqualsIgnoreCase(sections_[i].name, name)) return i;
    return kNone;
  }
  const std::string& name(std::size_t t) const { return sections_[t].name; }
  std::size_t keyCount(std::size_t t) const { return sections_[t].keys.size(); }
  std::string_view key(std::size_t t, std::size_t k) const { return sections_[t].keys[k].key; }
  std::string_view value(std::size_t t, std::size_t k) const { return sections_[t].keys[k].value; }
  bool addIfMissing(std::size_t t, std::size_t k) const { return sections_[t].keys[k].add; }
  bool keepsLine(std::size_t t, std::size_t k, std::string_view) const {
    return sections_[t].keys[k].keep;
  }

 private:
  struct Key {
    std::string_view key;
    std::string value;
    bool add;
    bool keep;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };

  // The text a row writes, and whether it is the value of the key's absence.
  static std::pair<std::string, bool> Format(const SettingsKey& row, const AlertSettings& s,
                                             std::size_t instance) {
    const WebhookSettings& hook = s.webhooks[instance];
    const KeyField& f = row.field;
    switch (row.type) {
      case KeyType::Flag: {
        const bool v = f.flag ? s.*f.flag : hook.*f.webhookFlag;
        return {v ? "1" : "0", v == (row.defaultNumber != 0)};
      }
      case KeyType::Integer: {
        const int v = s.*f.integer;
        return {std::to_string(v), v == row.defaultNumber};
      }
      case KeyType::Password:
        return {EncodePassword(s.*f.text), (s.*f.text).empty()};
      default: {
        const std::string& v = f.text ? s.*f.text : hook.*f.webhookText;
        const bool isDefault = EqualsIgnoreCase(v, row.defaultText) ||
                               (!row.alsoDefault.empty() && EqualsIgnoreCase(v, row.alsoDefault));
        return {v, isDefault};
      }
    }
  }

  Section& sectionNamed(const std::string& name) {
    const std::size_t at = find(name);
    if (at != kNone) return sections_[at];
    sections_.push_back({name, {}});
    return sections_.back();
  }

  std::vector<Section> sections_;
};

// The hosts save as a plan: [config] with hostcount, then [host1], [host2], ... with host and
// port, without a list of its own.
class HostsPlan {
 public:
  explicit HostsPlan(const std::vector<MonitoredHost>& hosts)
      : hosts_(hosts), count_(std::to_string(static_cast<std::int32_t>(hosts.size()))) {}

  static constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t count() const { return hosts_.size() + 1; }
  std::size_t find(std::string_view name) const {
    if (EqualsIgnoreCase(name, "config")) return 0;
    const std::int64_t n = HostSectionNumber(name);
    return n >= 1 && static_cast<std::uint64_t>(n) <= hosts_.size() ? static_cast<std::size_t>(n)
                                                                    : kNone;
  }
  std::string name(std::size_t t) const { return t == 0 ? "config" : HostSection(t); }
  std::size_t keyCount(std::size_t t) const { return t == 0 ? 1 : 2; }
  std::string_view key(std::size_t t, std::size_t k) const {
    return t == 0 ? "hostcount" : k == 0 ? "host" : "port";
  }
  std::string_view value(std::size_t t, std::size_t k) const {
    if (t == 0) return count_;
    return k == 0 ? hosts_[t - 1].host : hosts_[t - 1].ports;
  }
  bool addIfMissing(std::size_t, std::size_t) const { return true; }
  // A port list longer than a read returns was cut at load: while the row still holds what was
  // read from it, the line keeps the whole list instead of the cut one.
  bool keepsLine(std::size_t t, std::size_t k, std::string_view line) const {
    if (t == 0 || k != 1 || line.size() <= kMaxIniValueLength) return false;
    const std::string_view raw = IniRawValueOf(line);
    return IniCutLength(raw) < raw.size() && LoadedPorts(raw) == hosts_[t - 1].ports;
  }

 private:
  const std::vector<MonitoredHost>& hosts_;
  const std::string count_;
};

// Reads the file a save changes, then writes it through sink; a file that cannot be read is
// not replaced, because rewriting it would drop everything it holds that we do not own.
// Whatever goes wrong, the answer is a result, never an exception.
template <class Fill>
SaveResult Save(const std::string& path, Fill&& fill) {
  const auto failed = [&path](std::string reason) {
    return SaveResult{false, "Unable to write to " + path, std::move(reason)};
  };
  try {
    std::string reason;
    if (!PrepareSettingsFolder(path, &reason)) return failed(reason);
    std::string content;
    const ReadStatus status = ReadWholeFile(path, content, kMaxSettingsFileSize, &reason);
    if (status == ReadStatus::Failed) return failed(reason);
    const IniDocument document(std::move(content));
    // Unchanged stretches go to the file straight from what was read, without a copy.
    AtomicFileWriter writer(path);
    fill(document, status == ReadStatus::Missing,
         [&writer](std::string_view piece) { writer.append(piece); });
    if (!writer.commit(&reason)) return failed(reason);
    return {};
  } catch (const std::bad_alloc&) {
    return failed("out of memory");
  } catch (const std::exception& e) {
    return failed(e.what());
  } catch (...) {
    return failed("unexpected failure");
  }
}

template <class Sink>
void WriteHosts(const IniDocument& document, bool newFile, const std::vector<MonitoredHost>& hosts,
                const AlertSettings* settings, Sink&& sink) {
  if (newFile && settings) {
    // No file: the hosts alone would lose every setting the run holds.
    std::string withSettings;
    document.write(AlertPlan(*settings, true),
                   [&withSettings](std::string_view piece) { withSettings += piece; });
    IniDocument(std::move(withSettings)).write(HostsPlan(hosts), sink);
    return;
  }
  document.write(HostsPlan(hosts), sink);
}

// extra: about what the writes add to the file, so the text is allocated once.
std::string ToText(const IniDocument& document, std::size_t extra, auto&& write) {
  std::string out;
  out.reserve(document.content().size() + extra);
  write([&out](std::string_view piece) { out += piece; });
  return out;
}

}  // namespace

std::string SaveHostsToText(std::string_view content, const std::vector<MonitoredHost>& hosts) {
  const IniDocument document(content, IniDocument::Borrow{});
  std::size_t extra = 64;
  for (const MonitoredHost& host : hosts) extra += host.host.size() + host.ports.size() + 48;
  return ToText(document, extra, [&](auto&& sink) { document.write(HostsPlan(hosts), sink); });
}

std::string SaveAlertSettingsToText(std::string_view content, const AlertSettings& settings,
                                    bool newFile) {
  const IniDocument document(content, IniDocument::Borrow{});
  std::size_t extra = 1024 + 2 * settings.password.size();
  for (const SettingsKey& row : SettingsKeys())
    if (row.field.text) extra += (settings.*row.field.text).size() + 8;
  for (const WebhookSettings& hook : settings.webhooks)
    extra += hook.url.size() + hook.header.size() + 96;
  return ToText(document, extra,
                [&](auto&& sink) { document.write(AlertPlan(settings, newFile), sink); });
}

SaveResult SaveHosts(const std::string& path, const std::vector<MonitoredHost>& hosts,
                     const AlertSettings* settings) {
  return Save(path, [&](const IniDocument& document, bool newFile, auto&& sink) {
    WriteHosts(document, newFile, hosts, settings, sink);
  });
}

SaveResult SaveAlertSettings(const std::string& path, const AlertSettings& settings) {
  return Save(path, [&](const IniDocument& document, bool newFile, auto&& sink) {
    document.write(AlertPlan(settings, newFile), sink);
  });
}

}  // namespace varnley
