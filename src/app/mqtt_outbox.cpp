// The away store's drop order and the line splitter.
#include "app/mqtt_outbox.h"

#include <utility>

namespace orvelle::app {

void AwayBuffer::Add(MqttMessage message) {
  if (message.Cost() > byte_limit_) {
    ++dropped_;
    return;
  }
  while (bytes_ + message.Cost() > byte_limit_) {
    if (!DropOne(message.event)) {
      ++dropped_;  // only events are held and this is traffic: the newcomer goes
      return;
    }
  }
  bytes_ += message.Cost();
  std::deque<Held>& queue = message.event ? events_ : traffic_;
  queue.push_back({next_order_++, std::move(message)});
}

// Drops the oldest traffic, or when there is none and the newcomer is an event, the oldest
// event. False when nothing may go for the newcomer.
bool AwayBuffer::DropOne(bool incoming_is_event) {
  std::deque<Held>* queue = !traffic_.empty() ? &traffic_ : nullptr;
  if (queue == nullptr && incoming_is_event && !events_.empty()) queue = &events_;
  if (queue == nullptr) return false;
  bytes_ -= queue->front().message.Cost();
  queue->pop_front();
  ++dropped_;
  return true;
}

std::vector<MqttMessage> AwayBuffer::TakeAll() {
  std::vector<MqttMessage> out;
  out.reserve(events_.size() + traffic_.size());
  auto event = events_.begin();
  auto traffic = traffic_.begin();
  while (event != events_.end() || traffic != traffic_.end()) {
    const bool take_event =
        traffic == traffic_.end() || (event != events_.end() && event->order < traffic->order);
    out.push_back(std::move(take_event ? (event++)->message : (traffic++)->message));
  }
  events_.clear();
  traffic_.clear();
  bytes_ = 0;
  return out;
}

std::vector<std::string> LineSplitter::Feed(std::string_view bytes) {
  std::vector<std::string> lines;
  for (const char c : bytes) {
    const bool was_cr = std::exchange(after_cr_, c == '\r');
    if (c == '\n' && was_cr) continue;  // the second half of CR LF
    if (c == '\r' || c == '\n') {
      lines.push_back(std::exchange(partial_, {}));
      continue;
    }
    partial_.push_back(c);
    if (partial_.size() == kMaxLineBytes) lines.push_back(std::exchange(partial_, {}));
  }
  return lines;
}

void LineSplitter::Reset() {
  partial_.clear();
  after_cr_ = false;
}

}  // namespace orvelle::app
