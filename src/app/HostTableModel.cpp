#include "app/HostTableModel.h"

#include <QMetaObject>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <mutex>

#include "model/AddressCheck.h"
#include "model/PortList.h"

namespace varnley {

// Shared with the table's callback: a worker may be inside the callback while the model is
// destroyed, so it reaches the model only under this lock and only while it is set.
struct HostTableModel::Link {
  std::recursive_mutex mutex;  // a slot may change the table from inside a refresh
  HostTableModel* model = nullptr;
};

HostTableModel::HostTableModel(HostTable& hosts, QObject* parent)
    : QAbstractTableModel(parent),
      hosts_(hosts),
      rows_(hosts.snapshot()),
      link_(std::make_shared<Link>()) {
  link_->model = this;
  hosts_.setChangeCallback([link = link_](std::size_t row) {
    std::lock_guard lock(link->mutex);
    HostTableModel* model = link->model;
    if (!model) return;
    if (QThread::currentThread() == model->thread()) {
      model->refresh(row);
    } else {
      QMetaObject::invokeMethod(
          model, [model, row] { model->refresh(row); }, Qt::QueuedConnection);
    }
  });
}

HostTableModel::~HostTableModel() {
  hosts_.setChangeCallback(nullptr);
  std::lock_guard lock(link_->mutex);
  link_->model = nullptr;
}

int HostTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int HostTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 3;
}

QVariant HostTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const MonitoredHost& r = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::ToolTipRole && index.column() == 2) {
    // Each down port with why (the last probe) and since when (the history), asked of the
    // table when shown: the states change every pass.
    const std::vector<PortState> states = hosts_.portStates(static_cast<std::size_t>(index.row()));
    QStringList lines;
    bool known = false;
    for (const std::string& entry : SplitPortList(r.deactivated)) {
      if (entry.empty()) continue;
      QString line = QString::fromStdString(HostPortText(r.host, entry));
      QStringList facts;
      const auto state = std::find_if(states.begin(), states.end(),
                                      [&](const PortState& s) { return s.entry == entry; });
      if (state != states.end() && !state->reason.empty())
        facts << QString::fromStdString(state->reason);
      if (downSince_) {
        const std::optional<QDateTime> since =
            downSince_(r.host, static_cast<int>(PortEntryValue(entry)));
        facts << QStringLiteral("down since ") +
                     (since ? since->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                            : QStringLiteral("(not in the history)"));
      }
      known = known || !facts.isEmpty();
      if (!facts.isEmpty()) line += QStringLiteral(": ") + facts.join(QStringLiteral(", "));
      lines << line;
    }
    if (!known) return {};
    return lines.join(QLatin1Char('\n'));
  }
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case 0:
      return QString::fromStdString(r.host);
    case 1:
      return QString::fromStdString(r.ports);
    case 2:
      return QString::fromStdString(r.deactivated);
  }
  return {};
}

QVariant HostTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case 0:
      return QStringLiteral("Host Address");
    case 1:
      return QStringLiteral("Ports Monitoring");
    case 2:
      return QStringLiteral("Deactivated Ports");
  }
  return {};
}

int HostTableModel::deactivatedCount() const {
  int count = 0;
  for (const MonitoredHost& host : rows_) {
    // Entries between commas; the stored text ends in one and may hold empty entries.
    bool inEntry = false;
    for (const char c : host.deactivated) {
      if (c == ',') {
        inEntry = false;
      } else if (!inEntry) {
        inEntry = true;
        ++count;
      }
    }
  }
  return count;
}

void HostTableModel::refresh(std::size_t row) {
  if (row != HostTable::kAllRows && row < rows_.size()) {
    auto fresh = hosts_.row(row);
    if (fresh) {
      rows_[row] = std::move(*fresh);
      const int r = static_cast<int>(row);
      Q_EMIT dataChanged(index(r, 0), index(r, 2), {Qt::DisplayRole});
      return;
    }
  }
  // Whole-table changes keep the selection where they can: same size is a content change,
  // growth is rows appended at the end; anything else resets the view.
  std::vector<MonitoredHost> fresh = hosts_.snapshot();
  const std::size_t old = rows_.size();
  if (fresh.size() == old) {
    rows_ = std::move(fresh);
    if (old > 0)
      Q_EMIT dataChanged(index(0, 0), index(static_cast<int>(old) - 1, 2), {Qt::DisplayRole});
  } else if (fresh.size() > old && std::equal(rows_.begin(), rows_.end(), fresh.begin(),
                                              [](const MonitoredHost& a, const MonitoredHost& b) {
                                                return a.host == b.host;
                                              })) {
    beginInsertRows({}, static_cast<int>(old), static_cast<int>(fresh.size()) - 1);
    rows_ = std::move(fresh);
    endInsertRows();
    if (old > 0)
      Q_EMIT dataChanged(index(0, 0), index(static_cast<int>(old) - 1, 2), {Qt::DisplayRole});
  } else {
    beginResetModel();
    rows_ = std::move(fresh);
    endResetModel();
  }
}

}  // namespace varnley
