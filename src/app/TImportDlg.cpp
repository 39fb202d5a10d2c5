#include "app/TImportDlg.h"

#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnley {

namespace {

// Enough to find every fault in a real list; a file of nothing but bad lines stays readable.
constexpr std::size_t kShownRefusals = 1000;

}  // namespace

TImportDlg::TImportDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ImportDlg"));
  setWindowTitle(QStringLiteral("Import Hosts"));
  SummaryLabel = new QLabel(this);
  SummaryLabel->setObjectName(QStringLiteral("SummaryLabel"));
  SummaryLabel->setWordWrap(true);
  SummaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* refusalsCaption = new QLabel(QStringLiteral("&Refused lines:"), this);
  RefusalsMemo = new QPlainTextEdit(this);
  RefusalsMemo->setObjectName(QStringLiteral("RefusalsMemo"));
  RefusalsMemo->setReadOnly(true);
  RefusalsMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  RefusalsMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  refusalsCaption->setBuddy(RefusalsMemo);

  ImportBtn = new QPushButton(QStringLiteral("&Import"), this);
  ImportBtn->setObjectName(QStringLiteral("ImportBtn"));
  ImportBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
  CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
  CancelBtn->setAutoDefault(false);
  connect(ImportBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ImportBtn);
  buttons->addWidget(CancelBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(SummaryLabel);
  layout->addWidget(refusalsCaption);
  layout->addWidget(RefusalsMemo, 1);
  layout->addLayout(buttons);
  resize(560, 360);
}

void TImportDlg::showPreview(const QString& path, const ImportPreview& preview) {
  SummaryLabel->setText(QDir::toNativeSeparators(path) + QStringLiteral("\n") +
                        QString::fromStdString(preview.summary()));
  QString refusals;
  for (std::size_t i = 0; i < preview.refusals.size() && i < kShownRefusals; ++i)
    refusals += QString::fromStdString(preview.refusals[i].text()) + QLatin1Char('\n');
  if (preview.refusals.size() > kShownRefusals)
    refusals += QStringLiteral("... and %1 more\n").arg(preview.refusals.size() - kShownRefusals);
  RefusalsMemo->setPlainText(refusals);
  RefusalsMemo->setVisible(!preview.refusals.empty());
  ImportBtn->setEnabled(!preview.failure && preview.changesTable());
  if (!ImportBtn->isEnabled()) CancelBtn->setDefault(true);
}

}  // namespace varnley
