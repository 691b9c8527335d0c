// TrafficRing: what passed the serial port (received, sent, port events) and the server's log
// lines, as numbered, timestamped records in one bounded ring that viewers and the traffic log
// read at their own pace. Writers never wait for readers: a reader that falls behind finds the
// oldest records gone and is told so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::base {

enum class TrafficKind : std::uint8_t { kRx, kTx, kEvent, kLog };

struct TrafficRecord {
  std::uint64_t seq = 0;
  TrafficKind kind = TrafficKind::kRx;
  std::chrono::system_clock::time_point time;  // when its first byte passed
  std::string bytes;
};

class TrafficRing {
 public:
  // Enough context for a late viewer (minutes of a typical instrument), small beside the rest.
  static constexpr std::size_t kDefaultBytes = 64 * 1024;
  // A record is split here, so one viewer line never grows without bound.
  static constexpr std::size_t kMaxRecordBytes = 256;
  // Bytes further apart than this belong to separate records (a reply and the next one).
  static constexpr std::chrono::milliseconds kIdleGap{5};
  // Each record costs its header besides its bytes; one-byte records must not multiply it.
  static constexpr std::size_t kMaxRecords = 8192;
  // Event and log texts are cut here; they may carry request or device text.
  static constexpr std::size_t kMaxNoteBytes = 512;
  // A streaming writer wakes the readers each time this share of the ring filled with full
  // records since the last wake: often enough that none falls behind, seldom enough to stay
  // off the writer's path.
  static constexpr std::size_t kWakesPerRing = 8;
  // One read hands out at most this many records, so a viewer writes in bounded pieces.
  static constexpr std::size_t kMaxBatch = 256;

  explicit TrafficRing(std::size_t byte_limit = kDefaultBytes,
                       std::chrono::milliseconds idle_gap = kIdleGap);

  // Received or sent bytes: appended to the open record of that direction, or new records.
  void Append(TrafficKind kind, std::string_view bytes);
  // A port event or log line: always a record of its own.
  void Note(TrafficKind kind, std::string_view text);

  struct Batch {
    std::vector<TrafficRecord> records;
    bool missed = false;     // records before the first one here are gone
    std::uint64_t next = 0;  // the sequence number to ask for next
  };
  // Complete records numbered `from` or later, waiting up to `limit` (or until `stop`) for one.
  Batch ReadFrom(std::uint64_t from, std::chrono::milliseconds limit, std::stop_token stop = {});
  // Where a reader that wants everything still held starts.
  std::uint64_t OldestSeq() const;
  // The number the next record will get; a reader starting here sees only new records.
  std::uint64_t NextSeq() const;

 private:
  using Steady = std::chrono::steady_clock;

  bool CanExtend(TrafficKind kind, Steady::time_point now) const;
  void StartRecord(TrafficKind kind, std::string_view bytes);
  void SealIfIdle(Steady::time_point now);
  void SealFull();
  void Evict();
  std::size_t SealedCount() const { return records_.size() - (open_ ? 1 : 0); }
  void Collect(std::uint64_t from, Batch& batch) const;

  const std::size_t byte_limit_;
  const std::chrono::milliseconds idle_gap_;
  mutable std::mutex lock_;
  std::condition_variable_any changed_;
  std::deque<TrafficRecord> records_;
  std::size_t bytes_ = 0;           // sum of the records' sizes
  bool open_ = false;               // the last record may still grow
  Steady::time_point last_append_;  // of the open record
  std::uint64_t next_seq_;
  std::uint64_t version_ = 0;          // counts records started and sealed, for waiting readers
  std::size_t unannounced_bytes_ = 0;  // in full records sealed since readers were last woken
};

}  // namespace orvelle::base
