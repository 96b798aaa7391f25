#include "engine/impl/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace ovrix::parallel {

namespace {

unsigned available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return unsigned(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// One for_chunks call: its chunks are claimed one at a time by whichever thread comes first.
struct Job {
  const std::function<void(unsigned, size_t, size_t)>* body;
  size_t n;
  unsigned count;
  unsigned next = 0;  // the next chunk to claim (under the pool's lock)
  unsigned done = 0;  // chunks finished (under the pool's lock)
  std::vector<std::exception_ptr> errors;

  void run(unsigned c) {
    try {
      (*body)(c, n * c / count, n * (c + 1) / count);
    } catch (...) {
      errors[c] = std::current_exception();
    }
  }
};

// Threads kept between calls. They wait for jobs with chunks left; a caller claims its own job's chunks
// too and then waits only for the chunks other threads are running, which always finish, so a chunk
// that calls for_chunks again cannot wait on itself.
class Pool {
 public:
  void run(Job& job) {
    std::unique_lock lock(mutex_);
    // A thread for every chunk not yet claimed but the one this caller takes, beside the threads running
    // chunks already (a chunk of an outer call may split its own work).
    unclaimed_ += job.count;
    const unsigned wanted = std::min(busy_ + unclaimed_ - 1, kMaxThreads);
    while (started_ < wanted) {
      try {
        std::thread(&Pool::work, this).detach();
      } catch (...) {
        break;  // the callers run the chunks no thread takes
      }
      ++started_;
    }
    const auto it = jobs_.insert(jobs_.end(), &job);
    work_ready_.notify_all();
    while (job.next < job.count) {
      const unsigned c = job.next++;
      --unclaimed_;
      if (job.next == job.count) jobs_.erase(it);
      lock.unlock();
      job.run(c);
      lock.lock();
      ++job.done;
    }
    job_done_.wait(lock, [&] { return job.done == job.count; });
  }

  unsigned started() {
    std::lock_guard lock(mutex_);
    return started_;
  }

 private:
  [[noreturn]] void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return !jobs_.empty(); });
      Job& job = *jobs_.front();
      const unsigned c = job.next++;
      --unclaimed_;
      if (job.next == job.count) jobs_.pop_front();
      ++busy_;
      lock.unlock();
      job.run(c);
      lock.lock();
      --busy_;
      if (++job.done == job.count) job_done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_, job_done_;
  std::list<Job*> jobs_;  // jobs with chunks left to claim, oldest first
  unsigned started_ = 0;
  unsigned busy_ = 0;       // threads of the pool running a chunk
  unsigned unclaimed_ = 0;  // chunks of every job not claimed yet
  static constexpr unsigned kMaxThreads = 1024;
};

// The pool lives as long as the process: its threads wait on it until the end, so it is never destroyed
// (a destructor at exit would race with them). A child made by fork() has none of its parent's threads:
// it starts a pool of its own.
std::atomic<Pool*> pool_{nullptr};
std::once_flag fork_handler_;

Pool& pool() {
  std::call_once(fork_handler_, [] { pthread_atfork(nullptr, nullptr, [] { pool_.store(nullptr); }); });
  Pool* p = pool_.load();
  if (!p) {
    static std::mutex making;
    std::lock_guard lock(making);
    p = pool_.load();
    if (!p) {
      p = new Pool;
      pool_.store(p);
    }
  }
  return *p;
}

}  // namespace

unsigned thread_count() {
  if (const char* text = std::getenv("OVRIX_NUM_THREADS")) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && n >= 1 && n <= 1024) return unsigned(n);
  }
  return available_cores();
}

void for_chunks(size_t n, unsigned chunks, const std::function<void(unsigned, size_t, size_t)>& body) {
  const unsigned count = unsigned(std::max<size_t>(1, std::min<size_t>(chunks, n)));
  Job job{&body, n, count, 0, 0, std::vector<std::exception_ptr>(count)};
  if (count == 1) {
    job.run(0);
  } else {
    pool().run(job);
  }
  for (const std::exception_ptr& e : job.errors)
    if (e) std::rethrow_exception(e);
}

unsigned pool_threads() {
  Pool* p = pool_.load();
  return p ? p->started() : 0;
}

}  // namespace ovrix::parallel
