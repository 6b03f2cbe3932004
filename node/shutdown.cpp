// shutdown.cpp -- the stop-signal thread: sigwait, final save, exit.
#include "node/shutdown.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "storage/database_file.h"

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// Runs outside any signal handler, so it may lock, write files and print.
[[noreturn]] void waitForStop(std::string databasePath) {
  sigset_t set = stopSignals();
  int signalNumber = 0;
  while (sigwait(&set, &signalNumber) != 0) {
  }
  bool saved = saveDatabaseForExit(databasePath);
  fflush(stdout);
  fflush(stderr);
  // _exit: the database lock stays held, so no worker changes the saved
  // state, and no static destructor runs under threads still at work.
  _exit(saved ? 0 : 1);
}

}  // namespace

void ignoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void ignoreFileSizeSignal() { signal(SIGXFSZ, SIG_IGN); }

bool startStopSignalThread(const std::string& databasePath, std::string& error) {
  sigset_t set = stopSignals();
  int code = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (code != 0) {
    error = std::generic_category().message(code);
    return false;
  }
  try {
    std::thread(waitForStop, databasePath).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    error = e.what();
    return false;
  }
  return true;
}
