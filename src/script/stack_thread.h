// Runs one function with a known amount of stack, so the depth a script may nest to does not
// depend on the stack of the thread that asked for the run.
#pragma once

#include <cstddef>
#include <functional>

namespace orvelle::script {

// The bytes of stack left below the caller's frame on the current thread.
std::size_t RemainingStack();

// Runs work on the calling thread when at least needed_bytes of its stack are left; otherwise
// on a fresh thread with spawn_bytes of stack, joined before returning. Whatever exception
// escapes work is rethrown to the caller.
void RunWithStack(std::size_t needed_bytes, std::size_t spawn_bytes,
                  const std::function<void()>& work);

}  // namespace orvelle::script
