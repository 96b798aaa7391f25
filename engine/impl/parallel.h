#pragma once
// The engine's own threads: one call (a forward, predict or evaluate over a batch) is cut into contiguous
// chunks run at the same time, on threads made for the call and joined before it returns. Callers see
// the same results whatever the number of threads: each chunk writes only its own part of the result.
#include <cstddef>
#include <functional>

namespace ovrix::parallel {

// Threads one call may use: the environment variable OVRIX_NUM_THREADS when it holds a whole number from
// 1 to 1024, else the cores available to the process. Read at every call.
unsigned thread_count();

// Runs body(chunk, first, last) over [0, n) cut into `chunks` contiguous ranges (at most n, at least 1),
// chunk 0 on the calling thread and each other on a thread of its own; returns when all are done. When
// chunks throw, the exception of the lowest-numbered one is rethrown (the one a single thread would have
// met first).
void for_chunks(size_t n, unsigned chunks, const std::function<void(unsigned, size_t, size_t)>& body);

}  // namespace ovrix::parallel
