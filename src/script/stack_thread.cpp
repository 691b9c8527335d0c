// The calling thread's stack, or a joined pthread with a chosen stack size (std::thread
// cannot set one).
#include "stack_thread.h"

#include <pthread.h>

#include <cstdint>
#include <exception>
#include <system_error>

namespace orvelle::script {
namespace {

struct Job {
  const std::function<void()>* work;
  std::exception_ptr error;
};

void* Trampoline(void* arg) {
  auto* job = static_cast<Job*>(arg);
  try {
    (*job->work)();
  } catch (...) {
    job->error = std::current_exception();
  }
  return nullptr;
}

class ThreadAttr {
 public:
  ThreadAttr() { pthread_attr_init(&attr_); }
  ~ThreadAttr() { pthread_attr_destroy(&attr_); }
  ThreadAttr(const ThreadAttr&) = delete;
  ThreadAttr& operator=(const ThreadAttr&) = delete;
  pthread_attr_t* get() { return &attr_; }

 private:
  pthread_attr_t attr_;
};

}  // namespace

namespace {

// The lowest address of the calling thread's stack. For the main thread the C library reads
// /proc/self/maps to find it, so each thread looks it up once and keeps it.
std::uintptr_t StackBottom() {
  thread_local std::uintptr_t bottom = [] {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::uintptr_t{0};
    void* low = nullptr;
    std::size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    return rc == 0 ? reinterpret_cast<std::uintptr_t>(low) : std::uintptr_t{0};
  }();
  return bottom;
}

}  // namespace

std::size_t RemainingStack() {
  std::uintptr_t bottom = StackBottom();
  if (bottom == 0) return 0;
  // The real frame, not a local: sanitizers may keep locals off the stack.
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > bottom ? here - bottom : 0;
}

void RunWithStack(std::size_t needed_bytes, std::size_t spawn_bytes,
                  const std::function<void()>& work) {
  if (RemainingStack() >= needed_bytes) {
    work();
    return;
  }
  const std::size_t stack_bytes = spawn_bytes;
  ThreadAttr attr;
  if (int rc = pthread_attr_setstacksize(attr.get(), stack_bytes); rc != 0) {
    throw std::system_error(rc, std::generic_category(), "pthread_attr_setstacksize");
  }
  Job job{&work, nullptr};
  pthread_t thread;
  if (int rc = pthread_create(&thread, attr.get(), &Trampoline, &job); rc != 0) {
    throw std::system_error(rc, std::generic_category(), "pthread_create");
  }
  pthread_join(thread, nullptr);  // the owner always joins before job goes out of scope
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace orvelle::script
