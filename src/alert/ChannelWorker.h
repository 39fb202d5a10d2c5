// The thread in front of one alert channel: alerts handed to it wait in its DeliveryQueue and
// go out when the queue says so; every outcome reaches the channel's status. Handing an alert
// over never fails and never waits for a try under way.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alert/AlertChannel.h"
#include "alert/DeliveryQueue.h"
#include "monitor/Monitor.h"
#include "platform/StopSource.h"

namespace varnley {

class MailStatus;

struct ChannelOptions {
  RetrySchedule schedule = RetrySchedule::Default();
  std::function<WallTime()> clock = [] { return WallClock::now(); };
  Outbox* outbox = nullptr;  // none: what is pending when the worker ends is lost
  // Pulls alerts from elsewhere at the start of each pass (`waiting`: a batch waits for its
  // retry, so whatever is taken now joins it), and how long a pass waits at most.
  std::function<std::vector<Alert>(bool waiting)> feed;
  std::chrono::milliseconds pollPeriod = std::chrono::seconds(1);
};

class ChannelWorker : public Worker {
 public:
  // The thread starts at once.
  ChannelWorker(std::unique_ptr<AlertChannel> channel, MailStatus* status,
                ChannelOptions options = {});
  struct NoThread {};
  ChannelWorker(std::unique_ptr<AlertChannel> channel, MailStatus* status, ChannelOptions options,
                NoThread);
  ~ChannelWorker() override;

  // From any thread.
  void Send(Alert alert);
  void requestStop() override;
  void join() override;

  // One pass without the wait that follows it: feed, then one try if one is due. Returns
  // whether the channel took an alert.
  bool runPass();

  const std::string& Name() const { return name_; }
  std::size_t Pending();
  // The channel's stop source, for a channel that gives it to a client of its own.
  StopSource& stopSource() { return stop_; }

 private:
  void run();
  void report(const DeliveryQueue::Result& result, WallTime now);
  void keep();  // hands the pending list to the outbox; called with mutex_ held

  std::unique_ptr<AlertChannel> channel_;
  std::string name_;
  MailStatus* status_;
  ChannelOptions options_;
  StopSource stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool added_ = false;
  DeliveryQueue queue_;
  std::thread thread_;
};

}  // namespace varnley
