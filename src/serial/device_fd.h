// DeviceFd: the serial layer's owner of one file descriptor, the same move-only owner the HTTP
// layer uses (header-only, so no link between the two libraries).
#pragma once

#include "http/unique_fd.h"

namespace orvelle::serial {

using DeviceFd = http::UniqueFd;

}  // namespace orvelle::serial
