// The ring's records: the open one grows until the direction changes, the line goes quiet or it
// is full; readers see only sealed records, and seal an idle one themselves.
#include "base/traffic_ring.h"

#include <algorithm>

namespace orvelle::base {
namespace {

// Numbers start at the start time in microseconds, so an id a browser kept from an earlier run
// of the server is older than anything held now and is never taken for a current record.
std::uint64_t FirstSeq() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
}

}  // namespace

TrafficRing::TrafficRing(std::size_t byte_limit, std::chrono::milliseconds idle_gap)
    : byte_limit_(byte_limit), idle_gap_(idle_gap), next_seq_(FirstSeq()) {}

bool TrafficRing::CanExtend(TrafficKind kind, Steady::time_point now) const {
  return open_ && records_.back().kind == kind && now - last_append_ < idle_gap_ &&
         records_.back().bytes.size() < kMaxRecordBytes;
}

void TrafficRing::StartRecord(TrafficKind kind, std::string_view bytes) {
  records_.push_back({next_seq_++, kind, std::chrono::system_clock::now(), std::string(bytes)});
  bytes_ += bytes.size();
  open_ = true;
  ++version_;
}

void TrafficRing::Append(TrafficKind kind, std::string_view bytes) {
  if (bytes.empty()) return;
  const auto now = Steady::now();
  bool news = false;
  {
    std::lock_guard hold(lock_);
    // Readers learn of a new record at once only when the line was quiet; while it streams
    // they look every idle gap anyway (see ReadFrom), so waking them for every record would
    // only take the writer's core from it.
    const bool quiet = records_.empty() || now - last_append_ >= idle_gap_;
    while (!bytes.empty()) {
      if (!CanExtend(kind, now)) {
        if (open_ && records_.back().bytes.size() == kMaxRecordBytes) SealFull();
        StartRecord(kind, {});
        news = news || quiet;
      }
      std::string& tail = records_.back().bytes;
      const std::size_t take = std::min(bytes.size(), kMaxRecordBytes - tail.size());
      tail.append(bytes.substr(0, take));
      bytes_ += take;
      bytes.remove_prefix(take);
    }
    last_append_ = now;
    if (records_.back().bytes.size() == kMaxRecordBytes) SealFull();
    // Full records pile up unannounced until a reader could start to fall behind.
    if (unannounced_bytes_ >= byte_limit_ / kWakesPerRing) {
      unannounced_bytes_ = 0;
      news = true;
    }
    Evict();
  }
  if (news) changed_.notify_all();
}

// Full: readers need not wait for the line to go quiet to read it.
void TrafficRing::SealFull() {
  if (!open_) return;
  open_ = false;
  ++version_;
  unannounced_bytes_ += records_.back().bytes.size();
}

void TrafficRing::Note(TrafficKind kind, std::string_view text) {
  {
    std::lock_guard hold(lock_);
    StartRecord(kind, text.substr(0, kMaxNoteBytes));
    open_ = false;
    Evict();
  }
  changed_.notify_all();
}

void TrafficRing::SealIfIdle(Steady::time_point now) {
  if (open_ && now - last_append_ >= idle_gap_) {
    open_ = false;
    ++version_;
  }
}

// Whole records go, oldest first; the newest always stays.
void TrafficRing::Evict() {
  while (records_.size() > 1 && (bytes_ > byte_limit_ || records_.size() > kMaxRecords)) {
    bytes_ -= records_.front().bytes.size();
    records_.pop_front();
  }
}

void TrafficRing::Collect(std::uint64_t from, Batch& batch) const {
  batch.records.clear();
  batch.next = from;
  if (records_.empty()) return;
  const std::uint64_t oldest = records_.front().seq;
  batch.missed = from < oldest;
  const std::uint64_t start = std::max(from, oldest);
  batch.next = start;
  const std::size_t sealed = SealedCount();
  for (std::size_t i = start - oldest; i < sealed && batch.records.size() < kMaxBatch; ++i) {
    batch.records.push_back(records_[i]);
    batch.next = records_[i].seq + 1;
  }
}

TrafficRing::Batch TrafficRing::ReadFrom(std::uint64_t from, std::chrono::milliseconds limit,
                                         std::stop_token stop) {
  Batch batch;
  const auto deadline = Steady::now() + limit;
  std::unique_lock hold(lock_);
  for (;;) {
    const auto now = Steady::now();
    SealIfIdle(now);
    // A number past the newest record is no position in this ring.
    if (from > next_seq_) from = 0;
    Collect(from, batch);
    if (!batch.records.empty() || batch.missed || now >= deadline || stop.stop_requested()) {
      return batch;
    }
    // An open record becomes readable once the line has been quiet for the gap; while the line
    // streams, full records are announced only in bunches, so a reader also looks again after
    // the gap.
    const bool streaming = open_ || now - last_append_ < idle_gap_;
    const auto until = streaming ? std::min(deadline, last_append_ + idle_gap_) : deadline;
    const std::uint64_t seen = version_;
    changed_.wait_until(hold, stop, until, [&] { return version_ != seen; });
  }
}

std::uint64_t TrafficRing::OldestSeq() const {
  std::lock_guard hold(lock_);
  return records_.empty() ? next_seq_ : records_.front().seq;
}

std::uint64_t TrafficRing::NextSeq() const {
  std::lock_guard hold(lock_);
  return next_seq_;
}

}  // namespace orvelle::base
