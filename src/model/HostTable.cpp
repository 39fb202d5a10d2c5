#include "model/HostTable.h"

#include <algorithm>
#include <utility>

#include "model/AddressCheck.h"
#include "model/PortList.h"

namespace varnley {

std::size_t HostTable::size() const {
  std::lock_guard lock(mutex_);
  return rows_.size();
}

std::optional<MonitoredHost> HostTable::row(std::size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= rows_.size()) return std::nullopt;
  return rows_[index];
}

std::vector<MonitoredHost> HostTable::snapshot() const {
  std::lock_guard lock(mutex_);
  return rows_;
}

void HostTable::read(const std::function<void(const std::vector<MonitoredHost>&)>& fn) const {
  std::lock_guard lock(mutex_);
  fn(rows_);
}

namespace {

// The stored form, or the text itself for one that has none.
std::string StoredForm(const std::string& host) {
  auto canonical = CanonicalHostOf(host);
  return canonical ? std::move(canonical->text) : host;
}

}  // namespace

std::optional<std::size_t> HostTable::find(const std::string& host) const {
  const std::string wanted = StoredForm(host);
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].host == wanted || StoredForm(rows_[i].host) == wanted) return i;
  return std::nullopt;
}

void HostTable::append(MonitoredHost host) {
  {
    std::lock_guard lock(mutex_);
    rows_.push_back(std::move(host));
  }
  notify(kAllRows);
}

bool HostTable::remove(std::size_t index) {
  {
    std::lock_guard lock(mutex_);
    if (index >= rows_.size()) return false;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    if (index < states_.size()) states_.erase(states_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  notify(kAllRows);
  return true;
}

void HostTable::replaceAll(std::vector<MonitoredHost> rows) {
  {
    std::lock_guard lock(mutex_);
    rows_ = std::move(rows);
    states_.clear();
  }
  notify(kAllRows);
}

bool HostTable::update(std::size_t index, const std::function<void(MonitoredHost&)>& fn) {
  {
    std::lock_guard lock(mutex_);
    if (index >= rows_.size()) return false;
    fn(rows_[index]);
  }
  notify(index);
  return true;
}

void HostTable::clearDeactivated() {
  {
    std::lock_guard lock(mutex_);
    for (auto& r : rows_) r.deactivated.clear();
    states_.clear();
  }
  notify(kAllRows);
}

bool HostTable::setPortState(std::size_t index, const std::string& host, PortState state) {
  std::lock_guard lock(mutex_);
  if (index >= rows_.size() || rows_[index].host != host) return false;
  if (states_.size() <= index) states_.resize(index + 1);
  auto& states = states_[index];
  const auto it = std::find_if(states.begin(), states.end(),
                               [&](const PortState& s) { return s.entry == state.entry; });
  if (it == states.end())
    states.push_back(std::move(state));
  else
    *it = std::move(state);
  return true;
}

std::vector<PortState> HostTable::portStates(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return index < states_.size() ? states_[index] : std::vector<PortState>{};
}

std::string HostTable::downReasons(std::size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= rows_.size()) return {};
  static const std::vector<PortState> none;
  return DownReasonsText(rows_[index], index < states_.size() ? states_[index] : none);
}

std::unordered_map<std::string, std::string> HostTable::downReasonsByPort() const {
  std::unordered_map<std::string, std::string> reasons;
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < rows_.size() && i < states_.size(); ++i)
    for (const PortState& state : states_[i])
      if (!state.reason.empty())
        reasons.emplace(HostPortText(rows_[i].host, state.entry), state.reason);
  return reasons;
}

void HostTable::setChangeCallback(ChangeCallback callback) {
  std::lock_guard lock(callbackMutex_);
  callback_ = std::move(callback);
}

void HostTable::notify(std::size_t row) const {
  ChangeCallback cb;
  {
    std::lock_guard lock(callbackMutex_);
    cb = callback_;
  }
  if (cb) cb(row);
}

std::string DownReasonsText(const MonitoredHost& row, const std::vector<PortState>& states) {
  std::string text;
  for (const std::string& entry : SplitPortList(row.deactivated)) {
    if (entry.empty()) continue;
    if (!text.empty()) text += '\n';
    text += HostPortText(row.host, entry);
    const auto state = std::find_if(states.begin(), states.end(),
                                    [&](const PortState& s) { return s.entry == entry; });
    if (state != states.end() && !state->reason.empty()) {
      text += ": ";
      text += state->reason;
    }
  }
  return text;
}

}  // namespace varnley
