#pragma once
// The engine's own threads: one call (a forward, predict or evaluate over a batch) is cut into contiguous
// chunks run at the same time on a pool of threads the engine keeps between calls. Callers see the same
// results whatever the number of threads: each chunk writes only its own part of the result.
#include <cstddef>
#include <functional>

namespace ovrix::parallel {

// Threads one call may use: the environment variable OVRIX_NUM_THREADS when it holds a whole number from
// 1 to 1024, else the cores available to the process. Read at every call.
unsigned thread_count();

// Runs body(chunk, first, last) over [0, n) cut into `chunks` contiguous ranges (at most n, at least 1),
// on the calling thread and the pool's threads (started when first needed, kept for later calls); returns
// when all are done. A chunk may itself call for_chunks: the calling thread runs the chunks no pool
// thread has taken, so nested calls never wait for a thread. When chunks throw, the exception of the
// lowest-numbered one is rethrown (the one a single thread would have met first).
void for_chunks(size_t n, unsigned chunks, const std::function<void(unsigned, size_t, size_t)>& body);

// Threads the pool has started since the process began (or since a fork, in the child).
unsigned pool_threads();

}  // namespace ovrix::parallel
