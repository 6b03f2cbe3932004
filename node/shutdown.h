// shutdown.h -- the orderly stop: SIGTERM, SIGINT and SIGHUP save the
// database once more and end the process.
#pragma once

#include <string>

// A send to a peer that has gone must not end the process. Call before any
// thread starts so every thread inherits it.
void ignoreBrokenPipe();

// A save that goes beyond the process's file-size limit must fail as a write
// (EFBIG, reported like any failed save) instead of ending the process by
// SIGXFSZ. Call before any thread starts so every thread inherits it.
void ignoreFileSizeSignal();

// Blocks the stop signals in the calling thread (threads started after it
// inherit the mask) and starts a detached thread that waits for them. The
// stop signals are SIGTERM, SIGINT and SIGHUP (the terminal closed), but
// SIGHUP only when the process was not started with it ignored: under nohup
// it stays ignored and the node outlives its terminal. On the first one the
// thread takes the database lock, saves the database to databasePath once
// more (atomically) and ends the process: status 0 after a good save, 1 when
// that save failed (its reason is on standard error). Call from the main
// thread before the writer thread and the pool start. Returns false with a
// reason in error when the thread cannot be started.
bool startStopSignalThread(const std::string& databasePath, std::string& error);
