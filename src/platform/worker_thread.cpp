#include "platform/worker_thread.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

namespace vl {

namespace {

std::mutex g_fault_mu;
std::map<std::string, WorkerFault> g_faults;

}  // namespace

std::string exception_reason(std::exception_ptr e) {
  try {
    std::rethrow_exception(std::move(e));
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown failure";
  }
}

void worker_fault_set(const std::string& name, WorkerFault fault) {
#ifdef VORNLAKE_FAULT_HOOKS
  std::lock_guard<std::mutex> lock(g_fault_mu);
  if (fault == WorkerFault::none)
    g_faults.erase(name);
  else
    g_faults[name] = fault;
#else
  (void)name;
  (void)fault;
#endif
}

WorkerFault worker_fault(const std::string& name) {
#ifdef VORNLAKE_FAULT_HOOKS
  std::lock_guard<std::mutex> lock(g_fault_mu);
  if (g_faults.empty()) return WorkerFault::none;
  auto it = g_faults.find(name);
  return it == g_faults.end() ? WorkerFault::none : it->second;
#else
  (void)name;
  return WorkerFault::none;
#endif
}

bool WorkerThread::start(const std::string& name, std::function<void()> body,
                         std::function<void(const std::string&)> failed, std::string* error) {
  auto top = [name, body = std::move(body), failed = std::move(failed)] {
    try {
      body();
    } catch (...) {
      // Nothing leaves a thread of the run: an exception here would end the process.
      try {
        if (failed) failed("The " + name + " thread failed: " + exception_reason(std::current_exception()));
      } catch (...) {
      }
    }
  };
  try {
    if (worker_fault(name) == WorkerFault::start)
      throw std::system_error(EAGAIN, std::generic_category());
    thread_ = std::thread(std::move(top));
    return true;
  } catch (const std::system_error& e) {
    if (error) *error = "Could not start the " + name + " thread: " + e.code().message();
  } catch (const std::bad_alloc&) {
    if (error) *error = "Could not start the " + name + " thread: out of memory";
  }
  return false;
}

void WorkerThread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace vl
