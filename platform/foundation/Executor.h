#pragma once
// The process-wide shared executor on which "unstructured tasks" run: a pool
// of worker threads started on first use. Tasks may block on I/O; the pool is
// sized for tens of concurrent transfers.

#include <functional>

namespace lumora {

// Runs `task` on the shared pool and returns at once. Tasks must not throw;
// an exception that escapes one is caught and dropped so the worker survives.
void runDetached(std::function<void()> task);

// Number of worker threads of the shared pool.
unsigned sharedExecutorThreadCount();

}  // namespace lumora
