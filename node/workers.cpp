// workers.cpp -- the worker pool's size, and the connection loops its
// workers run with the API's routes.
#include "node/workers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "http/connection_loop.h"

unsigned long long workerCount(unsigned long long hardwareThreads, std::istream& in,
                               std::ostream& out) {
  if (hardwareThreads != 0) return hardwareThreads;
  out << "Unable to read the number of your cpu cores, please input: " << std::flush;
  in >> std::ws;
  // A decimal number, read as a stream reads an unsigned one ("+5" is 5),
  // but never a negative one: "-1" would wrap to a huge count.
  if (in.peek() == '-') return 0;
  unsigned long long n = 0;
  if (!(in >> n)) return 0;
  return n;
}

std::unique_ptr<ThreadPool> buildWorkerPool(unsigned long long count, std::ostream& out,
                                            std::ostream& err) {
  out << "Creating thread pool with " << count << " threads." << std::endl;
  try {
    return std::make_unique<ThreadPool>(static_cast<unsigned long>(count));
  } catch (const std::invalid_argument& e) {
    err << e.what() << std::endl;
  } catch (const std::system_error& e) {
    err << "Unable to start the worker threads: " << e.what() << std::endl;
  } catch (const std::bad_alloc&) {
    err << "Unable to start the worker threads: out of memory" << std::endl;
  }
  return nullptr;
}

void runWorkerLoops(int listenSocket, ThreadPool& pool, unsigned long long workers) {
  const RequestHandlers routes{handleGet, handlePost};
  HeldRequestBytes held;
  // Every worker runs a loop of its own, all on the one listening socket: a
  // request is answered by the worker that received it, with no hand-off
  // between threads, and no single thread carries every connection. All are
  // made before any runs.
  std::vector<ConnectionLoopPtr> loops;
  for (unsigned long long i = 0; i < workers; ++i) {
    ConnectionLoopPtr loop = openConnectionLoop(routes, ConnectionLimits{}, held);
    if (!loop || !listenOn(*loop, listenSocket)) {
      if (i > 0) break;  // serve with the loops there are
      std::cerr << "Unable to watch connections: " << std::strerror(errno) << std::endl;
      return;
    }
    loops.push_back(std::move(loop));
  }
  std::vector<std::future<void>> running;
  try {
    running.reserve(loops.size());
    for (ConnectionLoopPtr& loop : loops) {
      running.push_back(pool.enqueue(runConnectionLoop, std::ref(*loop)));
    }
  } catch (const std::exception&) {
    // The loops never run are closed: they leave the listening socket.
    loops.resize(running.size());
  }
  if (running.empty()) {
    std::cerr << "Unable to watch connections: out of memory" << std::endl;
    return;
  }
  // The loops run until the process ends.
  for (std::future<void>& loop : running) loop.wait();
}

int serveWithWorkers(int listenSocket) {
  unsigned long long count = workerCount(std::thread::hardware_concurrency(), std::cin, std::cout);
  std::unique_ptr<ThreadPool> pool = buildWorkerPool(count, std::cout, std::cerr);
  if (!pool) return 1;
  runWorkerLoops(listenSocket, *pool, count);
  return 1;
}
