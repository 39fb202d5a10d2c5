#include "app/THistoryDlg.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <fstream>
#include <sstream>

#include "app/HistoryPortModel.h"
#include "history/HistoryReport.h"

namespace varnley {

// The up/down strip of one port. UP is light, DOWN dark and "no data" a hatched mid grey, so
// the three differ in lightness as well as in hue.
class HistoryStrip : public QWidget {
 public:
  explicit HistoryStrip(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(22);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  }
  void setCells(std::vector<StripCell> cells, HistoryTime from, HistoryTime to) {
    cells_ = std::move(cells);
    from_ = from;
    to_ = to;
    update();
  }
  const std::vector<StripCell>& cells() const { return cells_; }

  static QColor ColourOf(const StripCell& cell) {
    const QColor up(0x9c, 0xe0, 0x9c), down(0x7a, 0x10, 0x10);
    const double f = cell.up;
    return QColor::fromRgbF(static_cast<float>(down.redF() + (up.redF() - down.redF()) * f),
                            static_cast<float>(down.greenF() + (up.greenF() - down.greenF()) * f),
                            static_cast<float>(down.blueF() + (up.blueF() - down.blueF()) * f));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const int n = static_cast<int>(cells_.size());
    if (n == 0) return;
    const double w = static_cast<double>(width()) / n;
    for (int i = 0; i < n; ++i) {
      const QRectF cell(i * w, 0, w, height());
      const StripCell& c = cells_[static_cast<std::size_t>(i)];
      if (c.coverage <= 0) {
        painter.fillRect(cell, QColor(0x9a, 0x9a, 0x9a));
        painter.fillRect(cell, QBrush(QColor(0x70, 0x70, 0x70), Qt::BDiagPattern));
      } else {
        painter.fillRect(cell, ColourOf(c));
      }
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }

  bool event(QEvent* e) override {
    if (e->type() == QEvent::ToolTip && !cells_.empty()) {
      const auto* help = static_cast<QHelpEvent*>(e);
      const int n = static_cast<int>(cells_.size());
      const int i = std::clamp(help->pos().x() * n / std::max(width(), 1), 0, n - 1);
      const HistoryTime a = from_ + (to_ - from_) * i / n;
      const StripCell& c = cells_[static_cast<std::size_t>(i)];
      const QString when =
          QDateTime::fromMSecsSinceEpoch(a).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
      QString text = when + QLatin1String(": ");
      if (c.coverage <= 0)
        text += tr("no data");
      else
        text += QString::number(c.up * 100, 'f', 1) + tr("% up, ") +
                QString::number(c.coverage * 100, 'f', 0) + tr("% data");
      setToolTip(text);
    }
    return QWidget::event(e);
  }

 private:
  std::vector<StripCell> cells_;
  HistoryTime from_ = 0, to_ = 0;
};

namespace {

// Strip cells per span: half hours for a day, three hours for a week, twelve for a month.
int CellsFor(HistoryTime span) { return span <= kDayMs ? 48 : span <= 7 * kDayMs ? 56 : 60; }

}  // namespace

THistoryDlg::THistoryDlg(std::string historyPath, QWidget* parent, HistoryClock clock)
    : QDialog(parent), path_(std::move(historyPath)), clock_(std::move(clock)) {
  setWindowTitle(tr("History"));
  model_ = new HistoryPortModel(this);
  sorted_ = new QSortFilterProxyModel(this);
  sorted_->setSourceModel(model_);
  sorted_->setSortRole(HistoryPortModel::SortRole);
  table_ = new QTableView(this);
  table_->setModel(sorted_);
  table_->setSortingEnabled(true);
  table_->sortByColumn(HistoryPortModel::Host, Qt::AscendingOrder);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->verticalHeader()->hide();
  // Column widths from the first rows: measuring a thousand would cost more than the read.
  table_->horizontalHeader()->setResizeContentsPrecision(100);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setStretchLastSection(true);

  span_ = new QComboBox(this);
  span_->addItem(tr("24 hours"), static_cast<qlonglong>(kDayMs));
  span_->addItem(tr("7 days"), static_cast<qlonglong>(7 * kDayMs));
  span_->addItem(tr("30 days"), static_cast<qlonglong>(30 * kDayMs));
  strip_ = new HistoryStrip(this);
  chart_ = new QChartView(new QChart(), this);
  chart_->setRenderHint(QPainter::Antialiasing);
  chart_->setMinimumHeight(240);
  chart_->chart()->legend()->setAlignment(Qt::AlignBottom);

  log_ = new OutageLogModel(this);
  outages_ = new QTableView(this);
  outages_->setModel(log_);
  outages_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  outages_->setSelectionBehavior(QAbstractItemView::SelectRows);
  outages_->horizontalHeader()->setResizeContentsPrecision(100);
  outages_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  outages_->verticalHeader()->hide();
  outages_->horizontalHeader()->setStretchLastSection(true);
  auto* exportButton = new QPushButton(tr("Export CSV..."), this);
  status_ = new QLabel(this);

  auto* selectedBox = new QWidget(this);
  auto* selectedLayout = new QVBoxLayout(selectedBox);
  selectedLayout->setContentsMargins(0, 0, 0, 0);
  auto* spanRow = new QHBoxLayout();
  spanRow->addWidget(new QLabel(tr("Selected port over the last"), this));
  spanRow->addWidget(span_);
  spanRow->addStretch();
  selectedLayout->addLayout(spanRow);
  selectedLayout->addWidget(strip_);
  selectedLayout->addWidget(chart_, 1);

  auto* logBox = new QWidget(this);
  auto* logLayout = new QVBoxLayout(logBox);
  logLayout->setContentsMargins(0, 0, 0, 0);
  auto* logRow = new QHBoxLayout();
  logRow->addWidget(new QLabel(tr("Outages in the last 30 days"), this));
  logRow->addStretch();
  logRow->addWidget(exportButton);
  logLayout->addLayout(logRow);
  logLayout->addWidget(outages_);

  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->addWidget(table_);
  splitter->addWidget(selectedBox);
  splitter->addWidget(logBox);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(splitter, 1);
  auto* bottom = new QHBoxLayout();
  bottom->addWidget(status_, 1);
  bottom->addWidget(buttons);
  layout->addLayout(bottom);
  resize(900, 720);

  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(exportButton, &QPushButton::clicked, this, &THistoryDlg::exportClicked);
  connect(span_, &QComboBox::currentIndexChanged, this, [this] { showSelected(); });
  connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this] { showSelected(); });
  timer_ = new QTimer(this);
  timer_->setInterval(5000);
  connect(timer_, &QTimer::timeout, this, &THistoryDlg::refresh);
  timer_->start();
  refresh();
  if (sorted_->rowCount() > 0) table_->selectRow(0);
}

THistoryDlg::~THistoryDlg() = default;

HistoryTime THistoryDlg::now() const { return clock_ ? clock_() : SystemHistoryTime(); }

HistoryTime THistoryDlg::spanLength() const { return span_->currentData().toLongLong(); }

const std::vector<StripCell>& THistoryDlg::stripCells() const { return strip_->cells(); }

QString THistoryDlg::statusText() const { return status_->text(); }

const PortSummary* THistoryDlg::selected() const {
  const QModelIndex current = table_->selectionModel()->currentIndex();
  if (!current.isValid()) return nullptr;
  return model_->summaryAt(sorted_->mapToSource(current).row());
}

void THistoryDlg::refresh() {
  if (!reader_) {
    Status status;
    reader_ = HistoryReader::Open(path_, status);
    if (!reader_) {
      status_->setText(QString::fromStdString(status.reason));
      return;
    }
  }
  const HistoryTime time = now();
  HistoryReader::Overview overview = reader_->Read(time);
  model_->setSummaries(std::move(overview.summaries));
  log_->setOutages(std::move(overview.outages));
  status_->setText(
      tr("%1 ports, %2 outages in 30 days; read at %3")
          .arg(model_->rowCount())
          .arg(log_->rowCount())
          .arg(QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("HH:mm:ss"))));
  showSelected();
}

void THistoryDlg::showSelected() {
  const PortSummary* port = selected();
  QChart* chart = chart_->chart();
  chart->removeAllSeries();
  for (QAbstractAxis* axis : chart->axes()) {
    chart->removeAxis(axis);
    delete axis;
  }
  chartPoints_ = 0;
  if (!port || !reader_) {
    strip_->setCells({}, 0, 0);
    chart->setTitle({});
    return;
  }
  const HistoryTime to = now(), span = spanLength(), from = to - span;
  const PortKey key = port->key;
  strip_->setCells(reader_->Strip(key, from, to, CellsFor(span)), from, to);

  const auto points = reader_->Series(key, from, to);
  auto* low = new QLineSeries();
  auto* high = new QLineSeries();
  auto* mean = new QLineSeries();
  mean->setName(tr("mean connect time (ms)"));
  for (const SeriesPoint& p : points) {
    if (p.successes == 0) continue;
    const auto x = static_cast<qreal>(p.time);
    low->append(x, p.minMs);
    high->append(x, p.maxMs);
    mean->append(x, p.meanMs);
    ++chartPoints_;
  }
  auto* band = new QAreaSeries(high, low);
  // The band does not own its edges; once it does, removing it from the chart frees them.
  high->setParent(band);
  low->setParent(band);
  band->setName(tr("minimum to maximum"));
  band->setColor(QColor(0x4a, 0x90, 0xd9, 0x60));
  band->setBorderColor(QColor(0x4a, 0x90, 0xd9, 0x90));
  chart->addSeries(band);
  chart->addSeries(mean);
  auto* x = new QDateTimeAxis();
  x->setFormat(span <= kDayMs ? QStringLiteral("HH:mm") : QStringLiteral("MM-dd"));
  x->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(to));
  auto* y = new QValueAxis();
  y->setTitleText(tr("ms"));
  y->setLabelFormat(QStringLiteral("%.2f"));
  y->setMin(0);
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  for (QAbstractSeries* series : chart->series()) {
    series->attachAxis(x);
    series->attachAxis(y);
  }
  double top = 1;
  for (const SeriesPoint& p : points) top = std::max(top, p.maxMs);
  y->setMax(top * 1.1);
  chart->setTitle(QString::fromStdString(key.text()));
}

bool THistoryDlg::exportCsv(const QString& path, QString* reason) {
  std::ostringstream text;
  WriteOutagesCsv(text, log_->outages());
  std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
  out << text.str();
  out.close();
  if (!out) {
    if (reason) *reason = tr("Unable to write to %1").arg(path);
    return false;
  }
  return true;
}

void THistoryDlg::exportClicked() {
  const QString path = QFileDialog::getSaveFileName(
      this, tr("Export CSV"), QStringLiteral("outages.csv"), tr("CSV files (*.csv)"));
  if (path.isEmpty()) return;
  QString reason;
  if (!exportCsv(path, &reason)) QMessageBox::warning(this, windowTitle(), reason);
}

}  // namespace varnley
