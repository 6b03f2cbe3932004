// workers.h -- sizing and building the worker pool, and the connection
// loops that its workers run.
#pragma once

#include <iosfwd>
#include <memory>

#include "http/thread_pool.h"

// The number of workers: hardwareThreads when it is not 0; otherwise asks
// "Unable to read the number of your cpu cores, please input: " on out and
// reads an unsigned decimal number from in, a leading "+" allowed (0 for an
// answer that is not one, a negative one, an overflowing one, or for the end
// of input).
unsigned long long workerCount(unsigned long long hardwareThreads, std::istream& in,
                               std::ostream& out);

// Prints "Creating thread pool with n threads." on out and builds the pool.
// Returns null after one line on err when it is refused (n is 0) or a worker
// cannot start.
std::unique_ptr<ThreadPool> buildWorkerPool(unsigned long long count, std::ostream& out,
                                            std::ostream& err);

// Serves listenSocket for ever: each of pool's workers (workers of them)
// runs a connection loop of its own (see http/connection_loop.h) on the
// socket, and answers the requests it receives whole with the API's GET and
// POST routes under the default limits. This thread waits meanwhile. Returns
// only when not even one loop can be made or started (after one line on
// standard error).
void runWorkerLoops(int listenSocket, ThreadPool& pool, unsigned long long workers);

// The last start-up steps on the main thread: sizes and builds the pool from
// the console, then runs the workers' loops for ever. Returns 1 when the pool
// cannot be built or the connections cannot be watched.
int serveWithWorkers(int listenSocket);
