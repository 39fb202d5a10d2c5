#include "app/HistoryPortModel.h"

#include <QDateTime>
#include <QLocale>

#include "history/HistoryReport.h"

namespace varnley {

namespace {

QString TimeText(HistoryTime time, bool seconds = false) {
  return QDateTime::fromMSecsSinceEpoch(time).toString(
      seconds ? QStringLiteral("yyyy-MM-dd HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm"));
}

}  // namespace

QString UptimeText(const Uptime& uptime) {
  const auto percent = uptime.percent();
  if (!percent) return QObject::tr("no data");
  QString text = QString::number(*percent, 'f', 3) + QLatin1Char('%');
  // Rounded up to 100 only when it truly is all of it.
  if (uptime.covered() < uptime.window)
    text += QLatin1String(" (") + QString::number(uptime.coverage(), 'f', 0) +
            QObject::tr("% data") + QLatin1Char(')');
  return text;
}

HistoryPortModel::HistoryPortModel(QObject* parent) : QAbstractTableModel(parent) {}

int HistoryPortModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int HistoryPortModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryPortModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount) return {};
  const PortSummary& s = rows_[static_cast<std::size_t>(index.row())];
  const auto percentOr = [](const Uptime& u) { return u.percent().value_or(-1.0); };
  if (role == SortRole) {
    switch (index.column()) {
      case Host:
        return QString::fromStdString(s.key.host);
      case Port:
        return s.key.port;
      case State:
        return s.monitored ? (s.up ? 2 : 0) : 1;
      case Since:
        return static_cast<qlonglong>(s.since);
      case Day:
        return percentOr(s.day);
      case Week:
        return percentOr(s.week);
      case Month:
        return percentOr(s.month);
      case Outages:
        return s.outages;
      case Connect:
        return s.meanConnectMs.value_or(-1.0);
    }
  }
  if (role == Qt::ToolTipRole && index.column() >= Day && index.column() <= Month) {
    const Uptime& u = index.column() == Day ? s.day : index.column() == Week ? s.week : s.month;
    return tr("%1 of the window had data")
        .arg(QString::number(u.coverage(), 'f', 1) + QLatin1Char('%'));
  }
  if (role == Qt::TextAlignmentRole && index.column() >= Port && index.column() != State &&
      index.column() != Since)
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case Host:
      return QString::fromStdString(s.key.host);
    case Port:
      return s.key.port;
    case State:
      return s.monitored ? (s.up ? tr("UP") : tr("DOWN")) : tr("not watched");
    case Since:
      return TimeText(s.since);
    case Day:
      return UptimeText(s.day);
    case Week:
      return UptimeText(s.week);
    case Month:
      return UptimeText(s.month);
    case Outages:
      return s.outages;
    case Connect:
      return s.meanConnectMs ? QString::number(*s.meanConnectMs, 'f', 2) + QLatin1String(" ms")
                             : QStringLiteral("-");
  }
  return {};
}

QVariant HistoryPortModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case Host:
      return tr("Host");
    case Port:
      return tr("Port");
    case State:
      return tr("State");
    case Since:
      return tr("Since");
    case Day:
      return tr("Uptime 24h");
    case Week:
      return tr("Uptime 7d");
    case Month:
      return tr("Uptime 30d");
    case Outages:
      return tr("Outages 30d");
    case Connect:
      return tr("Connect 24h");
  }
  return {};
}

void HistoryPortModel::setSummaries(std::vector<PortSummary> summaries) {
  const bool samePorts =
      summaries.size() == rows_.size() &&
      std::equal(summaries.begin(), summaries.end(), rows_.begin(),
                 [](const PortSummary& a, const PortSummary& b) { return a.key == b.key; });
  if (!samePorts) {
    // Ports came or went (rarely): one reset costs less than a signal per row.
    beginResetModel();
    rows_ = std::move(summaries);
    endResetModel();
    return;
  }
  // The usual refresh: the same ports with new figures, changed in place so that the
  // selection and the sort of the views stay.
  rows_ = std::move(summaries);
  if (!rows_.empty()) Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

const PortSummary* HistoryPortModel::summaryAt(int row) const {
  return row >= 0 && row < rowCount() ? &rows_[static_cast<std::size_t>(row)] : nullptr;
}

int HistoryPortModel::rowOf(const PortKey& key) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].key == key) return static_cast<int>(i);
  return -1;
}

OutageLogModel::OutageLogModel(QObject* parent) : QAbstractTableModel(parent) {}

int OutageLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int OutageLogModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant OutageLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount ||
      role != Qt::DisplayRole)
    return {};
  const Outage& o = rows_[static_cast<std::size_t>(index.row())];
  switch (index.column()) {
    case Start:
      return TimeText(o.start, true);
    case End:
      return o.ongoing ? tr("(still DOWN)") : o.ended ? TimeText(o.end, true) : tr("(not watched)");
    case Length:
      return QString::fromStdString(LengthText(o.length()));
    case PortColumn:
      return QString::fromStdString(o.key.text());
    case Reason:
      return QString::fromStdString(o.reason);
    case Alerts:
      return QString::fromStdString(AlertsText(o));
  }
  return {};
}

QVariant OutageLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case Start:
      return tr("Start");
    case End:
      return tr("End");
    case Length:
      return tr("Length");
    case PortColumn:
      return tr("Port");
    case Reason:
      return tr("Reason");
    case Alerts:
      return tr("Alerts");
  }
  return {};
}

void OutageLogModel::setOutages(std::vector<Outage> outages) {
  // The log grows at the top as outages begin; a reset is the honest change.
  beginResetModel();
  rows_ = std::move(outages);
  endResetModel();
}

}  // namespace varnley
