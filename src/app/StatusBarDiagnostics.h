// The window's side of the diagnostics sink: every report goes to the log (stderr unless told
// otherwise), and what the user must know (errors and warnings) to the main window's status
// bar, on the GUI thread whichever thread reported it.
#pragma once

#include <QObject>
#include <QString>

#include "platform/Diagnostics.h"

namespace varnley {

class StatusBarDiagnostics final : public QObject, public Diagnostics {
  Q_OBJECT

 public:
  // The sink must outlive every engine part it is given to (stop the monitor first).
  explicit StatusBarDiagnostics(Diagnostics& log = StderrDiagnostics(), QObject* parent = nullptr);

  // Any thread.
  void Report(Severity severity, std::string_view text) override;
  // Whether a report of this severity is shown in the window, not only logged.
  static bool Shown(Severity severity) { return severity <= Severity::Warning; }

  Diagnostics& log() const { return log_; }

 Q_SIGNALS:
  // On the GUI thread, for each report the window shows, in the order they came.
  void shown(const QString& text);

 private:
  Diagnostics& log_;
};

}  // namespace varnley
