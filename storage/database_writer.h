// database_writer.h -- the writer thread's loop, which saves the database
// every write interval or, with none, whenever it changes.
#pragma once

#include <atomic>
#include <string>

// The writer thread's body: until stop is found true at the top of a cycle,
// pauses interval_ms milliseconds and saves once with saveDatabaseNow. With
// interval_ms 0 or less it saves back to back while the database changes and
// sleeps until the next change while it does not (it sees stop within a
// tenth of a second then). A failed save is reported and the next cycle
// tries again.
void persistDatabase(std::string path, int interval_ms, std::atomic<bool>& stop);

// The pause before a cycle; sleep_for resumes after a signal for the time left.
void pauseBeforeCycle(int interval_ms);
