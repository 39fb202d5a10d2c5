#include "model/HostTable.h"

#include <utility>

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

std::optional<std::size_t> HostTable::find(const std::string& host) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].host == host) return i;
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
  }
  notify(kAllRows);
  return true;
}

void HostTable::replaceAll(std::vector<MonitoredHost> rows) {
  {
    std::lock_guard lock(mutex_);
    rows_ = std::move(rows);
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
  }
  notify(kAllRows);
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

}  // namespace varnley
