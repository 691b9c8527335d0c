// The pieces of the broker bridge that need no broker: the messages it publishes, the store
// that holds them while the broker is away (bounded; events are kept, traffic goes first), and
// the splitter that turns received bytes into text lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvelle::app {

struct MqttMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
  bool event = false;  // kept longest while the broker is away

  std::size_t Cost() const { return topic.size() + payload.size(); }
};

// Messages waiting for the broker, oldest first, within a byte bound.
class AwayBuffer {
 public:
  // A few minutes of a busy instrument, a small part of a small box's memory.
  static constexpr std::size_t kDefaultBytes = std::size_t{1} << 20;

  explicit AwayBuffer(std::size_t byte_limit = kDefaultBytes) : byte_limit_(byte_limit) {}

  // Keeps `message`; makes room by dropping the oldest traffic, then the oldest events. A
  // message larger than the whole bound is dropped itself. Counted in Dropped().
  void Add(MqttMessage message);
  // Everything held, in the order it was added; the store is empty afterwards.
  std::vector<MqttMessage> TakeAll();

  bool Empty() const { return events_.empty() && traffic_.empty(); }
  std::size_t Bytes() const { return bytes_; }
  std::uint64_t Dropped() const { return dropped_; }
  std::uint64_t TakeDropped() { return std::exchange(dropped_, 0); }

 private:
  struct Held {
    std::uint64_t order;
    MqttMessage message;
  };
  bool DropOne(bool incoming_is_event);

  const std::size_t byte_limit_;
  std::deque<Held> events_;
  std::deque<Held> traffic_;
  std::size_t bytes_ = 0;
  std::uint64_t next_order_ = 0;
  std::uint64_t dropped_ = 0;
};

// Received bytes to text lines. A line ends at CR, LF or CR LF (a CR LF split across two
// pieces is still one line end); a line that grows past the bound is handed out in pieces.
class LineSplitter {
 public:
  // Longer than any line an instrument sends as one reading; bounds what is held.
  static constexpr std::size_t kMaxLineBytes = 4096;

  // The lines completed by `bytes`, without their line ends.
  std::vector<std::string> Feed(std::string_view bytes);
  // Forgets a partial line (the port closed: its start will never be finished).
  void Reset();

 private:
  std::string partial_;
  bool after_cr_ = false;  // the last byte seen was a CR, so a LF next ends nothing
};

}  // namespace orvelle::app
