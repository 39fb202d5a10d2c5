// The import preview: what a host list would add and merge, and each line it refuses, before
// anything changes. "Import" applies it, "Cancel" leaves the table as it was.
#pragma once

#include <QDialog>

#include "model/HostImport.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace varnley {

class TImportDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TImportDlg(QWidget* parent = nullptr);

  // Shows the preview of the file at path; Import is offered only when it would change the
  // table.
  void showPreview(const QString& path, const ImportPreview& preview);

 private:
  QLabel* SummaryLabel;
  QPlainTextEdit* RefusalsMemo;
  QPushButton* ImportBtn;
  QPushButton* CancelBtn;
};

}  // namespace varnley
