// ReceivePump: moves what the port received into the receive buffer. The port's event thread does
// it for every batch it sees; a script that waits for a reply does it itself when the bytes come,
// which saves the hand-over from the event thread to the script on every reply. One lock keeps each
// read together with its append, so the bytes keep their order whichever thread reads them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

#include "app/receive_buffer.h"
#include "base/traffic_ring.h"
#include "serial/serial_port.h"

namespace orvelle::app {

class ReceivePump {
 public:
  // `traffic`, when given, records every byte on its way into the buffer.
  ReceivePump(serial::TSerialPort& port, TReceiveBuffer& buffer,
              base::TrafficRing* traffic = nullptr)
      : port_(port), buffer_(buffer), traffic_(traffic) {}

  // Also gives every batch, in order, to `tap` (a network client's queue; it must not block);
  // none: no tap. Once this returns, the previous tap is no longer called.
  void SetTap(std::function<void(std::string_view)> tap);

  // The port's OnRxChar, on the event thread: `count` bytes were waiting when it looked.
  void Deliver(int count);

  enum class Wait { kChanged, kUnchanged, kPortUnavailable };
  // For a script waiting for bytes while the buffer's count of changes is still `seen`: waits at
  // most `limit` for the port's input and moves it into the buffer. kPortUnavailable when the
  // port cannot be waited on (closed, hung up, failing); the caller then waits on the buffer.
  // The caller keeps the port from being closed meanwhile.
  Wait AwaitInput(std::uint64_t seen, std::chrono::microseconds limit);
  // Bytes taken from the port since the start.
  std::uint64_t ReceivedBytes() const { return received_.load(); }

 private:
  // What a waiting script reads in one go: the port's whole input queue.
  static constexpr std::size_t kReadAtOnce = 4096;

  void Take(int count);
  void Store(std::string bytes);  // under lock_: into the ring, the buffer and the tap

  serial::TSerialPort& port_;
  TReceiveBuffer& buffer_;
  base::TrafficRing* traffic_;
  std::mutex lock_;  // held over each read and its append, and over a script's wait
  std::function<void(std::string_view)> tap_;  // guarded by lock_
  bool taken_ = false;  // guarded by lock_: a script read since the event thread delivered
  std::atomic<std::uint64_t> received_{0};
};

}  // namespace orvelle::app
