// Shared by the widget tests: the QApplication check, a recording message-box seam, and a
// way to act on a modal dialog once its own event loop runs.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "model/TempDir.h"
#include "platform/MessageBoxes.h"

namespace varnley::test {

// WidgetMain.cpp makes the application; a test program without it fails here, not later.
inline void EnsureApplication() {
  if (!QApplication::instance()) std::abort();
}

// Records every box and notice, and answers confirmations with the next scripted button (Yes by
// default).
class RecordingBoxes : public MessageBoxes {
 public:
  struct Box {
    BoxKind kind;
    std::string text;
    bool operator==(const Box&) const = default;
  };
  BoxButton show(BoxKind kind, const std::string& text) override {
    shown.push_back({kind, text});
    if (kind != BoxKind::Confirm) return BoxButton::Ok;
    if (answers.empty()) return BoxButton::Yes;
    const BoxButton answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  // Notices never wait; each call is one entry here (the merging is QtMessageBoxes' own).
  void notify(BoxKind kind, const std::string& text) override { notices.push_back({kind, text}); }
  std::vector<Box> shown;
  std::vector<Box> notices;
  std::vector<BoxButton> answers;
};

inline std::ostream& operator<<(std::ostream& os, const RecordingBoxes::Box& box) {
  return os << BoxCaption(box.kind) << ": " << box.text;
}

// Runs `act` on the modal dialog as soon as one is up (within a deadline). Call it before the
// code that opens the dialog; if no dialog shows in time, `act` never runs. Deleting the
// returned timer (while it lives) withdraws the request.
inline QPointer<QTimer> WhenModal(std::function<void(QWidget*)> act,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  auto* timer = new QTimer;
  const auto end = std::chrono::steady_clock::now() + deadline;
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act), end] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible()) {
      timer->deleteLater();
      timer->stop();
      act(modal);
    } else if (std::chrono::steady_clock::now() > end) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(5);
  return timer;
}

// Processes events until the condition holds or the deadline passes.
template <typename Condition>
bool ProcessUntil(Condition condition,
                  std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

}  // namespace varnley::test
