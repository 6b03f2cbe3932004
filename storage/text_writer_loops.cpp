// text_writer_loops.cpp -- writeTextLoop and writeJsonLoop.
#include "storage/text_writer_loops.h"

#include "storage/database_writer.h"
#include "storage/file_helpers.h"
#include "storage/json_tree.h"

void writeTextLoop(const char* path, const std::string& text, int interval_ms,
                   std::atomic<bool>& stop) {
  while (!stop.load()) {
    pauseBeforeCycle(interval_ms);
    writeTextFile(path, text);
  }
}

void writeJsonLoop(const char* path, const cJSON* tree, int interval_ms, std::atomic<bool>& stop) {
  while (!stop.load()) {
    pauseBeforeCycle(interval_ms);
    JsonText text(cJSON_Print(tree));
    if (text) writeTextFile(path, text.get());
  }
}
