// Socket error numbers: errno mapped onto the server's own numbers and texts.
#pragma once

#include <string>

namespace orvelle::http {

inline constexpr int kErrorConnectionAborted = 10053;  // peer went away mid-transfer
inline constexpr int kErrorConnectionReset = 10054;
inline constexpr int kErrorShutdown = 10058;
inline constexpr int kErrorTimedOut = 10060;

// The socket error number for a POSIX errno value; unknown values pass through unchanged.
int SocketErrorNumber(int errno_value);

// The fixed text for a socket error number; empty for numbers not in the table.
std::string SocketErrorText(int number);

// Throws ESocketError for the current errno.
[[noreturn]] void ThrowSocketError(int errno_value);

}  // namespace orvelle::http
