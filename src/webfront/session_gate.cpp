// Starting, refreshing and expiring the one live session.
#include "session_gate.h"

#include "base/random_token.h"
#include "credentials.h"
#include "dispatcher_pages.h"
#include "setting_numbers.h"

namespace orvelle::webfront {

std::optional<std::string> LastCookieValue(const http::TCookieCollection& cookies,
                                           std::string_view name) {
  std::optional<std::string> value;
  for (long i = cookies.FindCookie(0, name); i >= 0; i = cookies.FindCookie(i + 1, name)) {
    value = cookies[static_cast<std::size_t>(i)].Value;
  }
  return value;
}

SessionGate::SessionGate(DispatcherContext& context, SessionTimer& timer,
                         std::chrono::milliseconds minute, TokenSource tokens)
    : context_(context),
      timer_(timer),
      minute_(minute),
      tokens_(tokens ? std::move(tokens) : TokenSource(base::RandomToken)) {}

bool SessionGate::Admit(const http::TCookieCollection& request_cookies,
                        http::TCookieCollection& response_cookies, bool may_start,
                        std::uint64_t* session) {
  std::unique_lock lock(mutex_);
  if (!timer_.Enabled()) {
    if (!may_start) return false;
    StartSession(response_cookies);
    if (session) *session = session_number_;
    lock.unlock();
    context_.AddLog("User session started.");
    return true;
  }
  const auto cookie = LastCookieValue(request_cookies, kSessionCookieName);
  if (!cookie || !ConstantTimeEquals(*cookie, session_token_)) return false;
  timer_.Restart();
  if (session) *session = session_number_;
  return true;
}

bool SessionGate::IsCurrent(std::uint64_t session) const {
  std::lock_guard lock(mutex_);
  return !session_token_.empty() && session == session_number_;
}

void SessionGate::StartSession(http::TCookieCollection& response_cookies) {
  http::TCookie& cookie = response_cookies.Add();
  cookie.Name = std::string(kSessionCookieName);
  session_token_ = tokens_();
  ++session_number_;
  cookie.Value = session_token_;
  // Page scripts have no business with it, and other sites must not make the browser send it.
  cookie.HttpOnly = true;
  cookie.SameSite = "Strict";
  timer_.Start(ExpireInterval());
}

std::chrono::milliseconds SessionGate::ExpireInterval() {
  const auto minutes = ParseSettingInteger(context_.GetSetting("Session expire"));
  // A negative idle time has no meaning; it is treated like any other unusable value.
  if (!minutes || *minutes < 0) {
    context_.AddLog("Session expire value is incorrect. Using 1 minute.");
    return minute_;
  }
  return minute_ * static_cast<std::int64_t>(*minutes);
}

void SessionGate::Expire() {
  {
    std::lock_guard lock(mutex_);
    if (!timer_.StopUnlessRestarted()) return;
    ++session_counter_;
    session_token_.clear();
  }
  context_.AddLog("User session expired");
}

void SessionGate::NewCounter(std::int32_t value) {
  std::lock_guard lock(mutex_);
  session_counter_ = value;
}

void SessionGate::Close() {
  std::lock_guard lock(mutex_);
  timer_.Stop();
  session_token_.clear();
}

std::int32_t SessionGate::SessionCounter() const {
  std::lock_guard lock(mutex_);
  return session_counter_;
}

}  // namespace orvelle::webfront
