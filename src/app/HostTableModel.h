// The host table as a Qt table model: three columns over the engine's HostTable, refreshed on
// the GUI thread whichever thread changed the rows.
#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/HostTable.h"
#include "model/MonitoredHost.h"

namespace varnley {

class HostTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit HostTableModel(HostTable& hosts, QObject* parent = nullptr);
  ~HostTableModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // How many ports the rows list as deactivated (as the view shows them now).
  int deactivatedCount() const;

  // Brings the view's copy up to date with the table (row, or HostTable::kAllRows).
  void refresh(std::size_t row);

  // Since when a port has been down, where something knows it (the history). With one, the
  // "Deactivated Ports" cells' tooltip lists each port with its time.
  using DownSince = std::function<std::optional<QDateTime>(const std::string& host, int port)>;
  void setDownSince(DownSince downSince) { downSince_ = std::move(downSince); }

 private:
  struct Link;

  HostTable& hosts_;
  // The view reads this copy, so row counts never change under it between notifications.
  std::vector<MonitoredHost> rows_;
  std::shared_ptr<Link> link_;
  DownSince downSince_;
};

}  // namespace varnley
