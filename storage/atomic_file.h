// atomic_file.h -- the durable replacement of a file through a temporary file
// beside it, following symbolic links, and the clean-up of the temporary
// files a crash left behind.
#pragma once

#include <string>

// A save writes "<path><kSaveFileSuffix>XXXXXX" beside the file and renames it
// over the file; start-up removes such files left behind by a crash.
constexpr const char* kSaveFileSuffix = ".tmp-";

// Replaces path with bytes durably: writes a temporary file beside it, syncs
// it, renames it over path and syncs the directory. When path is a symbolic
// link (or a chain of them) the link stays and the file it leads to is the
// one replaced, beside which the temporary file is written. A new file gets
// mode 0666 less the umask (as open(2) gives it); a replaced file keeps its
// mode. On failure the previous file stays as it was, the temporary file is
// removed, and error names the failing step and its reason.
bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error);

// Removes the temporary save files of path (beside the file a symbolic link
// leads to) left behind by a crash. Errors are ignored (a missing directory
// has none).
void removeStaleSaveFiles(const std::string& path);
