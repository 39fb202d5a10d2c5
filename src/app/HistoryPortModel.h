// Every port the history knows, as a Qt table model: host, port, state now, since when,
// uptime over a day, a week and a month, outages in a month and the mean connect time of the
// last day. Sorting goes by the numbers behind the texts (Qt::UserRole).
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "history/HistoryQueries.h"

namespace varnley {

class HistoryPortModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { Host, Port, State, Since, Day, Week, Month, Outages, Connect, ColumnCount };
  static constexpr int SortRole = Qt::UserRole;

  explicit HistoryPortModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Takes a fresh read: the same ports are changed in place, other ones reset the model.
  void setSummaries(std::vector<PortSummary> summaries);
  const PortSummary* summaryAt(int row) const;
  int rowOf(const PortKey& key) const;

 private:
  std::vector<PortSummary> rows_;
};

// The outage log: start, end, length, host:port, reason, the alerts and their outcomes.
class OutageLogModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { Start, End, Length, PortColumn, Reason, Alerts, ColumnCount };
  explicit OutageLogModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  void setOutages(std::vector<Outage> outages);
  const std::vector<Outage>& outages() const { return rows_; }

 private:
  std::vector<Outage> rows_;
};

// "99.950%", with the share of the window that had data when it is not all of it.
QString UptimeText(const Uptime& uptime);

}  // namespace varnley
