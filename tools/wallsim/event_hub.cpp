#include "wallsim/event_hub.h"

#include <algorithm>

namespace ostrel::wallsim {

std::shared_ptr<EventHub::Reader> EventHub::Join() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || readers_.size() >= readerLimit_) return nullptr;
  auto reader = std::make_shared<Reader>();
  readers_.push_back(reader);
  return reader;
}

void EventHub::Leave(const std::shared_ptr<Reader>& reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  reader->gone = true;
  readers_.erase(std::remove(readers_.begin(), readers_.end(), reader), readers_.end());
}

void EventHub::Publish(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = readers_.begin(); it != readers_.end();) {
      Reader& reader = **it;
      if (reader.queue.size() < queueLimit_) {
        reader.queue.push_back(message);
        ++it;
        continue;
      }
      // Too slow to keep up: the reader is let go rather than waited for.
      reader.gone = true;
      reader.queue.clear();
      ++dropped_;
      it = readers_.erase(it);
    }
  }
  wake_.notify_all();
}

EventHub::Wait EventHub::Take(Reader& reader, std::string* messages,
                              std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, wait, [&] { return reader.gone || !reader.queue.empty(); });
  if (reader.gone) return Wait::Gone;
  if (reader.queue.empty()) return Wait::Idle;
  messages->clear();
  for (const std::string& message : reader.queue) *messages += message;
  reader.queue.clear();
  return Wait::Messages;
}

void EventHub::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto& reader : readers_) reader->gone = true;
    readers_.clear();
  }
  wake_.notify_all();
}

std::size_t EventHub::Readers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readers_.size();
}

int EventHub::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace ostrel::wallsim
