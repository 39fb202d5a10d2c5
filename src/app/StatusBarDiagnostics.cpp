#include "app/StatusBarDiagnostics.h"

namespace varnley {

StatusBarDiagnostics::StatusBarDiagnostics(Diagnostics& log, QObject* parent)
    : QObject(parent), log_(log) {}

void StatusBarDiagnostics::Report(Severity severity, std::string_view text) {
  log_.Report(severity, text);
  if (!Shown(severity)) return;
  // Widgets are touched on their own thread only; a queued call also keeps a report made on
  // the GUI thread from re-entering whatever the window was doing.
  QMetaObject::invokeMethod(
      this,
      [this, line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))] {
        Q_EMIT shown(line);
      },
      Qt::QueuedConnection);
}

}  // namespace varnley
