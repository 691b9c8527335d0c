// A joined pthread with a chosen stack size (std::thread cannot set one).
#include "stack_thread.h"

#include <pthread.h>

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

void RunWithStack(std::size_t stack_bytes, const std::function<void()>& work) {
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
