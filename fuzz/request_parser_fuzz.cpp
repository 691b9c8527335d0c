// libFuzzer target: the request parser must agree with itself however the bytes arrive.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "request_parser_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (!orvelle::http::fuzzing::CheckRequestParser(input)) std::abort();
  return 0;
}
