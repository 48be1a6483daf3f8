#pragma once

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

// Sole owner of one handle: it is closed exactly once, on every path out of
// the scope that holds it. Moving hands the ownership on.
template <typename T, int (*CloseFn)(T), T InvalidValue>
class ScopedResource {
 public:
  explicit ScopedResource(T t = InvalidValue) : t_(t) {}
  ScopedResource(ScopedResource&& other) noexcept : t_(other.release()) {}
  ScopedResource& operator=(ScopedResource&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedResource(const ScopedResource&) = delete;
  ScopedResource& operator=(const ScopedResource&) = delete;
  ~ScopedResource() { reset(); }

  T get() const { return t_; }
  explicit operator bool() const { return t_ != InvalidValue; }

  T release() {
    T t = t_;
    t_ = InvalidValue;
    return t;
  }

  // close() is not retried on EINTR: Linux releases the descriptor anyway,
  // and a retry could close a number another thread has just been given.
  void reset(T t = InvalidValue) {
    if (t_ != InvalidValue) CloseFn(t_);
    t_ = t;
  }

 private:
  T t_;
};

using ScopedFile = ScopedResource<int, close, -1>;
using ScopedDir = ScopedResource<DIR*, closedir, nullptr>;
using ScopedStream = ScopedResource<FILE*, fclose, nullptr>;
