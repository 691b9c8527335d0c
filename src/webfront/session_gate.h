// The one-browser session rule: the "Orvelle" cookie, SessionCounter and the session timer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "dispatcher_context.h"
#include "http/cookies.h"

namespace orvelle::webfront {

// Each session's cookie value is a fresh random token (a guessable value would let any client
// on the network take over a live session).
class SessionGate {
 public:
  using TokenSource = std::function<std::string()>;

  // `minute` is the length of one "Session expire" unit (a test may shorten it); `tokens`
  // draws each new session's cookie value (default: 128 random bits in hex).
  SessionGate(DispatcherContext& context, SessionTimer& timer,
              std::chrono::milliseconds minute = std::chrono::minutes(1), TokenSource tokens = {});

  // Applies the rule to one request: true lets it pass (after adding the session cookie to
  // `response_cookies` when a session starts); false means the one-session page. With
  // `may_start` false (a request another site's page made) no session starts. `session`, when
  // given, receives the number of the session the request passed under.
  bool Admit(const http::TCookieCollection& request_cookies,
             http::TCookieCollection& response_cookies, bool may_start = true,
             std::uint64_t* session = nullptr);
  // True while the session numbered `session` is the live one.
  bool IsCurrent(std::uint64_t session) const;

  // The timer fired: ends the live session and moves the counter on.
  void Expire();
  // A new counter at server start; the timer is left as it is.
  void NewCounter(std::int32_t value);
  // The server stopped: the session ends, the counter stays.
  void Close();

  std::int32_t SessionCounter() const;

 private:
  void StartSession(http::TCookieCollection& response_cookies);
  std::chrono::milliseconds ExpireInterval();

  DispatcherContext& context_;
  SessionTimer& timer_;
  std::chrono::milliseconds minute_;
  TokenSource tokens_;
  mutable std::mutex mutex_;  // test-and-restart of the timer and the counter are one step
  std::int32_t session_counter_ = 0;
  std::string session_token_;         // the live session's cookie value
  std::uint64_t session_number_ = 0;  // counts the sessions started, to tell them apart
};

// The value of the last cookie named name (any case), if any.
std::optional<std::string> LastCookieValue(const http::TCookieCollection& cookies,
                                           std::string_view name);

}  // namespace orvelle::webfront
