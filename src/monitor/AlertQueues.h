// The DOWN, UP and email queues, each guarded by its own busy flag used as a try-lock.
#pragma once

#include <atomic>
#include <string>
#include <unordered_set>
#include <vector>

namespace varnley {

class StopSource;

class AlertQueues {
 public:
  // The email queue never holds more entries than this: a text that finds it full joins the
  // last entry as a further line, so a sender that falls behind mails the texts together
  // instead of losing them or letting the queue grow without end.
  static constexpr std::size_t kEmailQueueLimit = 8;

  // Append unless an entry equal without regard to case is there; false when the flag is held.
  bool AddDownEntry(const std::string& text);
  bool AddUpEntry(const std::string& text);
  // Waits for a held flag as long as it takes (holders keep it for a few instructions), or
  // until `stop` is requested: only then is the text not queued, and false returned. A full
  // queue merges the text into its last entry (see kEmailQueueLimit).
  bool AddEmailEntry(const std::string& text, const StopSource* stop = nullptr);
  bool ClearDownQueue();
  bool ClearUpQueue();
  bool ClearEmailQueue();

  // Reads and empties the queue in one hold of its flag; nullopt-like false when busy.
  bool DrainDown(std::vector<std::string>& out);
  bool DrainUp(std::vector<std::string>& out);
  // Takes entry 0 of the email queue (waiting out a hold of its flag); false when it is empty.
  bool TakeEmailEntry(std::string& out);
  // Appends every entry of the email queue to `out` and empties it, waiting out a hold.
  bool TakeEmailEntries(std::vector<std::string>& out);

  // Copies for tests and display (taken under the flag; empty when busy).
  std::vector<std::string> downEntries();
  std::vector<std::string> upEntries();
  std::vector<std::string> emailEntries();

 private:
  struct Queue {
    std::atomic<bool> busy{false};
    std::vector<std::string> entries;
    // Lower-cased entries of DOWN and UP, so the duplicate check costs the same at any length.
    std::unordered_set<std::string> keys;
  };
  static bool addUnique(Queue& queue, const std::string& text);
  static bool clear(Queue& queue);
  static bool drain(Queue& queue, std::vector<std::string>& out);

  Queue down_, up_, email_;
};

}  // namespace varnley
