#include "processor/sized_thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <future>
#include <memory>

namespace nuv {
namespace {

struct StartArgs {
  std::function<void()> fn;
  std::promise<unsigned long> tid;
};

void* ThreadMain(void* arg) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(arg));
  args->tid.set_value(static_cast<unsigned long>(::syscall(SYS_gettid)));
  std::function<void()> fn = std::move(args->fn);
  args.reset();
  fn();
  return nullptr;
}

}  // namespace

SizedThread::~SizedThread() { Join(); }

bool SizedThread::Start(size_t stackSize, std::function<void()> fn) {
  if (started_) return false;
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return false;
  if (stackSize != 0 && ::pthread_attr_setstacksize(&attr, stackSize) != 0) {
    ::pthread_attr_destroy(&attr);
    return false;
  }
  auto args = std::make_unique<StartArgs>();
  args->fn = std::move(fn);
  std::future<unsigned long> tid = args->tid.get_future();
  StartArgs* raw = args.release();
  int rc = ::pthread_create(&thread_, &attr, ThreadMain, raw);
  size_t actual = 0;
  ::pthread_attr_getstacksize(&attr, &actual);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::unique_ptr<StartArgs> reclaim(raw);  // the thread never ran; its arguments are still ours
    return false;
  }
  started_ = true;
  stackSize_ = actual;
  tid_ = tid.get();
  return true;
}

void SizedThread::Join() {
  if (!started_) return;
  ::pthread_join(thread_, nullptr);
  started_ = false;
}

}  // namespace nuv
