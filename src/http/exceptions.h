// The exceptions the HTTP server raises, each with its class name and fixed message.
#pragma once

#include <stdexcept>
#include <string>

namespace orvelle::http {

// Base of every server exception; ClassName() lets the owner log which one it caught.
class EServerException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual const char* ClassName() const { return "EServerException"; }
};

// A failing socket call, carrying the socket error number (see socket_errors.h).
class ESocketError : public EServerException {
 public:
  explicit ESocketError(int number);
  int LastError() const { return number_; }
  const char* ClassName() const override { return "ESocketError"; }

 private:
  int number_;
};

#define ORVELLE_HTTP_EXCEPTION(Name, Text)                   \
  class Name : public EServerException {                     \
   public:                                                   \
    Name() : EServerException(Text) {}                       \
    const char* ClassName() const override { return #Name; } \
  }

ORVELLE_HTTP_EXCEPTION(ECouldNotBindSocket,
                       "Could not bind socket. Address and port are already in use.");
ORVELLE_HTTP_EXCEPTION(EInvalidSocket, "Cannot allocate socket.");
ORVELLE_HTTP_EXCEPTION(EStackSetSizeExceeded, "Set Size Exceeded.");
ORVELLE_HTTP_EXCEPTION(EConnClosedGracefully, "Connection Closed Gracefully.");
ORVELLE_HTTP_EXCEPTION(EClosedSocket, "Disconnected.");
ORVELLE_HTTP_EXCEPTION(EHTTPErrorParsingCommand, "Error in parsing command.");
ORVELLE_HTTP_EXCEPTION(EHTTPUnsupportedAuthorisationScheme, "Unsupported authorization scheme.");
ORVELLE_HTTP_EXCEPTION(EHTTPHeaderAlreadyWritten, "Header has already been written.");
ORVELLE_HTTP_EXCEPTION(ENoDataToRead, "No data to read.");
ORVELLE_HTTP_EXCEPTION(ENoExecuteSpecified, "No execute handler found.");
ORVELLE_HTTP_EXCEPTION(EReadTimeout, "Read timed out.");

#undef ORVELLE_HTTP_EXCEPTION

// A file that SendFile cannot open; the message names the file and the system's reason.
class EFOpenError : public EServerException {
 public:
  EFOpenError(const std::string& file_name, int error_number);
  const char* ClassName() const override { return "EFOpenError"; }
};

}  // namespace orvelle::http
