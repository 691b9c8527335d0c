// TCookie and TCookieCollection: cookies a request carries and cookies a response sets.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace orvelle::http {

struct TCookie {
  std::string Comment;
  std::string Domain;
  std::string Name;
  std::string Path;
  std::string Value;      // without enclosing quotes
  long long MaxAge = -1;  // seconds; -1 means not set
  bool Secure = false;
  bool HttpOnly = false;  // kept from page scripts
  std::string SameSite;   // "Strict", "Lax" or empty for not set

  // The cookie as the value of a "Set-Cookie" header line.
  std::string CookieText() const;
};

class TCookieCollection {
 public:
  // Appends a cookie with default fields; the reference stays valid while the collection lives.
  TCookie& Add() { return items_.emplace_back(); }
  std::size_t Count() const { return items_.size(); }
  TCookie& operator[](std::size_t i) { return items_[i]; }
  const TCookie& operator[](std::size_t i) const { return items_[i]; }

  // Index of the first cookie at or after `start` named `name` (any case), or -1.
  long FindCookie(long start, std::string_view name) const;
  // Appends the cookies of one "Cookie" header value. Never fails.
  void ParseCookieHeader(std::string_view text);

 private:
  std::deque<TCookie> items_;  // deque: Add() must not move earlier cookies
};

}  // namespace orvelle::http
