// Hands messages from the simulator to the web view's live streams without ever waiting for a
// reader: each reader has a bounded queue, and a reader whose queue is full is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::wallsim {

class EventHub {
 public:
  struct Reader {
    std::deque<std::string> queue;
    bool gone = false;
  };
  enum class Wait { Messages, Idle, Gone };

  EventHub(std::size_t queueLimit, std::size_t readerLimit)
      : queueLimit_(queueLimit), readerLimit_(readerLimit) {}

  // A new reader; nullptr when there are readerLimit readers already or the hub is closed.
  std::shared_ptr<Reader> Join();
  void Leave(const std::shared_ptr<Reader>& reader);

  // Queues the message for every reader; never blocks on one.
  void Publish(const std::string& message);

  // Takes every queued message (joined) within the wait; Gone once the reader was dropped or
  // the hub closed.
  Wait Take(Reader& reader, std::string* messages, std::chrono::milliseconds wait);

  // Wakes and ends every reader; later joins fail.
  void Close();

  std::size_t Readers() const;
  int Dropped() const;

 private:
  const std::size_t queueLimit_;
  const std::size_t readerLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::shared_ptr<Reader>> readers_;
  bool closed_ = false;
  int dropped_ = 0;
};

}  // namespace ostrel::wallsim
