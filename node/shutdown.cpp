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

// True when the process was started with SIGHUP ignored, as nohup starts it.
bool hangUpIgnored() {
  struct sigaction current;
  return sigaction(SIGHUP, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// A blocked signal is kept for sigwait even when ignored, so an ignored
// SIGHUP must stay out of the set to stay ignored.
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (!hangUpIgnored()) sigaddset(&set, SIGHUP);
  return set;
}

// Runs outside any signal handler, so it may lock, write files and print.
[[noreturn]] void waitForStop(std::string databasePath, sigset_t set) {
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
    std::thread(waitForStop, databasePath, set).detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    error = e.what();
    return false;
  }
  return true;
}
