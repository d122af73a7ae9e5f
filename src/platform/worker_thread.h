// A thread of the run's own, started and joined explicitly, that cannot end the process: a thread
// the system will not give (std::system_error) is a failed start, and whatever the thread's body
// throws (an allocation that fails, above all) is caught at its top and reported.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace vl {

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread() { join(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts body on a new thread. What body throws is caught there and given to failed (on that
  // thread) as "The <name> thread failed: <reason>". Returns false, with *error set to "Could not start the <name>
  // thread: <the system's reason>", when no thread can be had. Any thread; once.
  bool start(const std::string& name, std::function<void()> body,
             std::function<void(const std::string&)> failed, std::string* error);

  // Waits for the thread to end; nothing when none was started. Not on the thread itself.
  void join();

 private:
  std::thread thread_;
};

// The reason of a caught exception in a few words ("out of memory" for std::bad_alloc).
std::string exception_reason(std::exception_ptr e);

// Test builds: faults met by the threads of one name (the name given to start).
enum class WorkerFault {
  none,
  start,  // the thread cannot be started, as when the system has no more threads to give
  alloc,  // the thread's next piece of work fails to allocate memory
  stall,  // the thread's next piece of work does not begin until the thread is told to stop
};
void worker_fault_set(const std::string& name, WorkerFault fault);
WorkerFault worker_fault(const std::string& name);

}  // namespace vl
