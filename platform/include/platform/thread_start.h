// Starting threads that a fatal signal can be handled on.
//
// A stack overflow raises SIGSEGV on a stack that is full: the crash
// handler can only run when the thread has an alternate signal stack.
// Every thread of the engine and its libraries is started through these
// calls, which give the new thread one for as long as it runs:
//
//   std::thread t = platform::start_thread([] { work(); });
//   int rc = platform::create_thread(&handle, &attr, body, arg);  // as pthread_create
//
// A thread that already has an alternate stack (the address sanitizer gives
// every thread one) keeps it.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

namespace platform {

// Gives the calling thread an alternate signal stack while the object lives,
// unless it has one already; the stack is taken back when the object ends.
class SignalStack {
 public:
  SignalStack();
  ~SignalStack();
  SignalStack(const SignalStack&) = delete;
  SignalStack& operator=(const SignalStack&) = delete;

  // The size of the alternate stacks given (bytes, without the guard page).
  static std::size_t size();

 private:
  void* mapping_ = nullptr;  // guard page and stack; nullptr when none was given
  std::size_t mapping_size_ = 0;
};

// A std::thread running fn(args...) on an alternate signal stack. Throws
// std::system_error as std::thread does.
template <class Fn, class... Args>
std::thread start_thread(Fn&& fn, Args&&... args) {
  return std::thread([fn = std::forward<Fn>(fn),
                      args = std::make_tuple(std::forward<Args>(args)...)]() mutable {
    SignalStack stack;
    std::apply(std::move(fn), std::move(args));
  });
}

// pthread_create whose thread runs start(argument) on an alternate signal
// stack; the same results (EAGAIN also when no memory is left).
int create_thread(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                  void* argument);

}  // namespace platform
