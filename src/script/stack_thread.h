// Runs one function on a thread with a stack of a known size and waits for it, so the depth a
// script may nest to does not depend on the stack of the thread that asked for the run.
#pragma once

#include <cstddef>
#include <functional>

namespace orvelle::script {

// Runs work on a fresh thread with stack_bytes of stack, joins it, and rethrows whatever
// exception escaped it.
void RunWithStack(std::size_t stack_bytes, const std::function<void()>& work);

}  // namespace orvelle::script
