// accept_loop.cpp -- the worker pool's size, and the connection loop that
// feeds it with the API's routes.
#include "node/accept_loop.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "http/connection_loop.h"

unsigned long long workerCount(unsigned long long hardwareThreads, std::istream& in,
                               std::ostream& out) {
  if (hardwareThreads != 0) return hardwareThreads;
  out << "Unable to read the number of your cpu cores, please input: " << std::flush;
  in >> std::ws;
  // Only a decimal number counts: no sign (a "-1" would wrap to a huge count).
  if (!std::isdigit(in.peek())) return 0;
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

void acceptConnections(int listenSocket, ThreadPool& pool) {
  ConnectionLoopPtr loop =
      openConnectionLoop(&pool, RequestHandlers{handleGet, handlePost}, ConnectionLimits{});
  if (!loop || !listenOn(*loop, listenSocket)) {
    std::cerr << "Unable to watch connections: " << std::strerror(errno) << std::endl;
    return;
  }
  runConnectionLoop(*loop);
}

int serveConnections(int listenSocket) {
  unsigned long long count = workerCount(std::thread::hardware_concurrency(), std::cin, std::cout);
  std::unique_ptr<ThreadPool> pool = buildWorkerPool(count, std::cout, std::cerr);
  if (!pool) return 1;
  acceptConnections(listenSocket, *pool);
  return 1;
}
