// startup.h -- the node's start-up: configuration, database, listening
// socket and writer thread, then serving.
#pragma once

#include <atomic>
#include <string>

// The writer thread's stop flag. Nothing sets it during the run: the orderly
// stop ends the process from the stop-signal thread instead.
extern std::atomic<bool> writerStop;

// The whole life of the node; main returns its result. First raises the soft
// limit of open files to the hard one (one line on standard error when it
// cannot; start-up goes on). Returns 1 after any start-up failure (having
// printed at most one line); never returns once the node serves.
int runNode();

// Parses text into configRoot (an earlier tree is freed) and finds the nine
// kept items ignoring case; a text that does not parse leaves them all null.
// Then sets listenPort from "port" and replaces the request handlers'
// apiSettings with what they read of these items.
// Only while no other thread reads the configuration (start-up, tests).
void loadConfigurationText(const std::string& text);

// The line start-up prints for the first configuration requirement that is
// not met ("No port!", "No server name!", ...), or "" when all are met.
std::string configurationProblem();
