// Failed Basic logins counted per client address and for all addresses together: an address
// that keeps guessing is turned away for a while before its password is even looked at, and a
// guesser who rotates through many addresses soon finds every address turned away that has not
// signed in lately, while the users who did keep getting in.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace orvelle::webfront {

class LoginThrottle {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // This many failures within kWindow turn an address away ...
  static constexpr int kMaxFailures = 10;
  static constexpr std::chrono::seconds kWindow{60};
  // ... for this long.
  static constexpr std::chrono::seconds kBlockTime{60};
  // Failures from all addresses together within kWindow beyond which every address without a
  // recent sign-in is turned away for kBlockTime: a few users mistyping never reach it.
  static constexpr int kMaxFailuresAll = 30;
  // A sign-in keeps its address let through a guessing storm for this long (a working day).
  static constexpr std::chrono::hours kTrustedFor{12};
  // Addresses remembered at most, failing and trusted each; a flood of addresses must not grow
  // the tables without end.
  static constexpr std::size_t kMaxAddresses = 4096;

  struct Verdict {
    bool address_blocked = false;   // this failure turned the address away
    bool everyone_blocked = false;  // this failure turned away all addresses not trusted
  };

  explicit LoginThrottle(Clock clock = {});

  // True while the address is turned away.
  bool Blocked(const std::string& address);
  // A failed login from the address.
  Verdict Failed(const std::string& address);
  // A successful login: the address starts counting afresh and is trusted for kTrustedFor.
  void Succeeded(const std::string& address);

  std::size_t Remembered() const;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Entry {
    int failures = 0;
    TimePoint window_start;
    TimePoint blocked_until;
    std::list<std::string>::iterator age;  // place in oldest_
  };

  Entry& Touch(const std::string& address, TimePoint now);
  bool Trusted(const std::string& address, TimePoint now) const;
  bool CountAll(TimePoint now);

  Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> oldest_;  // addresses, least recently failed first
  // Addresses with their last sign-in, and the order to forget them in.
  std::unordered_map<std::string, std::pair<TimePoint, std::list<std::string>::iterator>> trusted_;
  std::list<std::string> trusted_oldest_;
  int failures_all_ = 0;
  TimePoint window_all_start_{};
  TimePoint all_blocked_until_{};
};

}  // namespace orvelle::webfront
