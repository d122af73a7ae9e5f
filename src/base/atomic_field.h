// A copyable atomic word: fields that the user-interface thread and the worker share (the
// throttling fields of the running profile, the counters of a run) are read and written
// atomically, while the records that hold them stay plain, copyable values.
#pragma once

#include <atomic>

namespace vl {

template <class T>
class AtomicField {
 public:
  AtomicField(T v = T()) : v_(v) {}  // NOLINT: implicit on purpose, it stands in for a T
  AtomicField(const AtomicField& o) : v_(o.load()) {}
  AtomicField& operator=(const AtomicField& o) {
    v_.store(o.load());
    return *this;
  }
  AtomicField& operator=(T v) {
    v_.store(v);
    return *this;
  }
  operator T() const { return v_.load(); }  // NOLINT
  T load() const { return v_.load(); }
  void store(T v) { v_.store(v); }
  T fetch_add(T d) { return v_.fetch_add(d); }
  T fetch_sub(T d) { return v_.fetch_sub(d); }
  T operator++() { return v_.fetch_add(1) + 1; }
  T operator+=(T d) { return v_.fetch_add(d) + d; }
  T operator-=(T d) { return v_.fetch_sub(d) - d; }

 private:
  std::atomic<T> v_;
};

}  // namespace vl
