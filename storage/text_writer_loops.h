// text_writer_loops.h -- writer loops for plain text files. Nothing in the
// node calls them.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <string>

// Same cycles; each writes text unchanged to path with writeTextFile.
void writeTextLoop(const char* path, const std::string& text, int interval_ms,
                   std::atomic<bool>& stop);

// Same cycles; each writes the formatted print of tree (uncompressed) to path
// with writeTextFile. No lock is taken: tree must not change while it runs.
void writeJsonLoop(const char* path, const cJSON* tree, int interval_ms, std::atomic<bool>& stop);
