// The OK and Cancel row at the foot of the program's dialogs.
#pragma once

class QDialog;
class QHBoxLayout;
class QPushButton;

namespace varnley {

// Makes the buttons "OKBtn" (the default) and "CancelBtn" (never the default; it rejects the
// dialog) and returns them right-aligned in a row for the dialog's layout.
QHBoxLayout* OkCancelRow(QDialog& dialog, QPushButton*& ok, QPushButton*& cancel);

}  // namespace varnley
