#pragma once

// The stop of a worker's waits for replies. The worker's owner hands it to every
// wait the worker makes and requests it when the worker must end: the wait then
// ends at once with WaitStopped, and so does every later wait given the same
// stop. Waits that the stop has not been handed to are not touched.

#include <mutex>
#include <set>

namespace HCI {

class MessageHandler;

// What a stopped wait throws. Not a std::exception: the callers' handlers for
// failed exchanges must let it pass to the worker's top, where it ends the work.
struct WaitStopped {};

class WaitStop {
 public:
  WaitStop() = default;
  WaitStop(const WaitStop&) = delete;
  WaitStop& operator=(const WaitStop&) = delete;

  // Ends the waits under this stop, now and later.
  void request();
  bool requested() const;

 private:
  friend class MessageHandler;
  // A handler is attached while its caller waits under this stop.
  void attach(MessageHandler& handler);
  void detach(MessageHandler& handler);

  mutable std::mutex mutex_;  // guards requested_ and handlers_
  bool requested_ = false;
  std::set<MessageHandler*> handlers_;
};

}  // namespace HCI
