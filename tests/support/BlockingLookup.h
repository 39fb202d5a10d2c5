// Test helper: a name lookup that hangs until released, as a dead resolver does, put in place
// of the system's for the helper's life.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/TcpSocket.h"

namespace varnley::test {

// "mail.test" resolves to 127.0.0.1 once released; any other name is not found. The lookup
// owns what it shares with the test, since the worker that runs it may outlive the test's
// wait (the destructor releases it).
class BlockingLookup {
 public:
  BlockingLookup() : state_(std::make_shared<State>()) {
    previous_ = SetNameLookup([state = state_](const std::string& host, std::uint32_t& out) {
      std::unique_lock lock(state->mutex);
      ++state->entered;
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->released; });
      out = 0x7F000001;
      return host == "mail.test" ? 0 : 11001;
    });
  }
  ~BlockingLookup() {
    SetNameLookup(previous_);
    release();
  }
  void release() {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
    state_->changed.notify_all();
  }
  bool waitEntered(int count) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::seconds(5),
                                    [&] { return state_->entered >= count; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool released = false;
  };
  std::shared_ptr<State> state_;
  NameLookup previous_;
};

}  // namespace varnley::test
