// wizard.h -- the first-run console dialogue that writes config.json.
#pragma once

// Asks every setting on standard output, reads the answers line by line from
// standard input (the end of input gives empty answers, which take the
// defaults), copies the pictures named into "img", makes the node key and
// writes the whole configuration as formatted JSON to "config.json".
// Returns true when the file was written; false after "Save file failed!\n"
// when it cannot be opened for writing, or silently when the configuration
// object cannot be made. Runs on the main thread before any other exists.
bool runSetupWizard();
