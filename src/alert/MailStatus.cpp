#include "alert/MailStatus.h"

#include <iostream>
#include <utility>

#include "alert/Alert.h"

namespace varnley {

MailStatus::MailStatus() : errors_(std::cerr) {}

MailStatus::MailStatus(std::ostream& errors) : errors_(errors) {}

MailStatus::MailStatus(std::ostream& errors, std::string channel)
    : errors_(errors), channel_(std::move(channel)) {}

std::string OneLine(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool inBreak = false;
  for (char c : text) {
    const bool lineBreak = c == '\r' || c == '\n';
    if (lineBreak && !inBreak) out += ' ';
    if (!lineBreak) out += c;
    inBreak = lineBreak;
  }
  return out;
}

std::string OutcomeLine(const std::string& channel, const MailOutcome& outcome,
                        const std::string& text) {
  if (outcome.sent) return channel + " sent: " + OneLine(text);
  std::string line = channel + " failed: " + OneLine(outcome.reason);
  if (outcome.retryAt)
    line += ", retry at " + LocalClockText(*outcome.retryAt);
  else if (!text.empty())
    line += "; not delivered: " + OneLine(text);
  return line;
}

void MailStatus::Report(MailOutcome outcome, const std::string& alertText) {
  std::lock_guard lock(mutex_);
  ++(outcome.sent ? totals_.sent : totals_.failed);
  if (hook_) {
    hook_(outcome, alertText);
  } else if (!outcome.sent) {
    // One line, written whole, so lines of other writers never land inside it.
    std::string line;
    if (channel_.empty()) {
      line = "Varnley: an alert mail could not be sent: " + OneLine(outcome.reason);
      if (outcome.retryAt) line += ", retry at " + LocalClockText(*outcome.retryAt);
    } else {
      line = "Varnley: " + OutcomeLine(channel_, outcome, alertText);
    }
    errors_ << (line + "\n") << std::flush;
  }
  last_ = std::move(outcome);
  if (listener_) listener_();
}

std::optional<MailOutcome> MailStatus::Last() const {
  std::lock_guard lock(mutex_);
  return last_;
}

MailStatus::Totals MailStatus::Count() const {
  std::lock_guard lock(mutex_);
  return totals_;
}

void MailStatus::SetOutcomeHook(OutcomeHook hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void MailStatus::SetListener(std::function<void()> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

}  // namespace varnley
