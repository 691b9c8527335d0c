// Failed Basic logins counted per client address: an address that keeps guessing is turned
// away for a while before its password is even looked at.
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
  // Addresses remembered at most; a flood of addresses must not grow the table without end.
  static constexpr std::size_t kMaxAddresses = 4096;

  explicit LoginThrottle(Clock clock = {});

  // True while the address is turned away.
  bool Blocked(const std::string& address);
  // A failed login from the address; true when this failure turns it away.
  bool Failed(const std::string& address);
  // A successful login: the address starts counting afresh.
  void Succeeded(const std::string& address);

  std::size_t Remembered() const;

 private:
  struct Entry {
    int failures = 0;
    std::chrono::steady_clock::time_point window_start;
    std::chrono::steady_clock::time_point blocked_until;
    std::list<std::string>::iterator age;  // place in oldest_
  };

  Entry& Touch(const std::string& address, std::chrono::steady_clock::time_point now);

  Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> oldest_;  // addresses, least recently failed first
};

}  // namespace orvelle::webfront
