// The History window: every port's uptime, a strip and a connect-time chart of the selected
// port, and the outage log with its alerts. Reads the file through a connection of its own and
// refreshes while monitoring runs; it never waits on the writer.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "history/HistoryFile.h"
#include "history/HistoryQueries.h"

class QChartView;
class QComboBox;
class QLabel;
class QSortFilterProxyModel;
class QTableView;
class QTimer;

namespace varnley {

class HistoryPortModel;
class OutageLogModel;
class HistoryStrip;

class THistoryDlg : public QDialog {
  Q_OBJECT

 public:
  // `clock` empty: the system's. The file may not exist yet; the window says so and keeps
  // looking for it at each refresh.
  explicit THistoryDlg(std::string historyPath, QWidget* parent = nullptr, HistoryClock clock = {});
  ~THistoryDlg() override;

  // Reads everything again (the timer calls it every few seconds).
  void refresh();
  // Writes the outage log shown now; false with the reason when the file cannot be written.
  bool exportCsv(const QString& path, QString* reason = nullptr);

  HistoryPortModel* portModel() const { return model_; }
  QTableView* portTable() const { return table_; }
  QTableView* outageTable() const { return outages_; }
  QComboBox* spanBox() const { return span_; }
  const std::vector<StripCell>& stripCells() const;
  int chartPoints() const { return chartPoints_; }
  QString statusText() const;

 private:
  HistoryTime now() const;
  HistoryTime spanLength() const;
  void showSelected();
  void exportClicked();
  const PortSummary* selected() const;

  std::string path_;
  HistoryClock clock_;
  std::unique_ptr<HistoryReader> reader_;
  HistoryPortModel* model_;
  QSortFilterProxyModel* sorted_;
  QTableView* table_;
  QComboBox* span_;
  HistoryStrip* strip_;
  QChartView* chart_;
  QTableView* outages_;
  OutageLogModel* log_;
  QLabel* status_;
  QTimer* timer_;
  int chartPoints_ = 0;
};

}  // namespace varnley
