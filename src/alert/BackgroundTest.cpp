#include "alert/BackgroundTest.h"

#include <system_error>
#include <utility>

#include "platform/StopSource.h"

namespace varnley {

BackgroundTest::BackgroundTest() = default;

BackgroundTest::~BackgroundTest() { Cancel(); }

void BackgroundTest::Cancel() {
  if (!thread_.joinable()) return;
  stop_->requestStop();
  thread_.join();
}

Status BackgroundTest::Start(std::function<void(StopSource& stop)> job, const char* busy) {
  if (Running()) return Status::Fail(busy);
  stop_ = std::make_unique<StopSource>();
  try {
    // The stop source is the thread's until Finish() or Cancel() collects it.
    thread_ = std::thread([job = std::move(job), stop = stop_.get()] { job(*stop); });
  } catch (const std::system_error& e) {
    return Status::Fail(e.what());
  }
  return Status::Ok();
}

void BackgroundTest::Finish() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace varnley
