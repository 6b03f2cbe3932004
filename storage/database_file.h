// database_file.h -- the database file data/index.ndb: zlib compression of
// the database text, the atomic save and the writer thread's loops.
//
// The file holds exactly one zlib stream (window bits 15, default level) of
// the database's formatted JSON text, with no header of its own.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/database.h"

// Where the database lives, relative to the working directory.
constexpr const char* kDatabaseDirectory = "data";
constexpr const char* kDatabasePath = "data/index.ndb";

// A save writes "<path><kSaveFileSuffix>XXXXXX" beside the file and renames it
// over the file; start-up removes such files left behind by a crash.
constexpr const char* kSaveFileSuffix = ".tmp-";

// The zlib stream of input at the given zlib level (-1 for the default).
// Throws std::runtime_error "deflateInit failed while compressing." or
// "deflate failed while compressing: <code>".
std::string compressString(const std::string& input, int level);

// The inflated bytes of the one zlib stream at the start of input; bytes
// after the stream's end are ignored. Throws std::runtime_error
// "inflateInit failed while decompressing.", "zlib decompression error:
// <code>" (2, -3, -4) or "Unexpected zlib error during decompression: <code>".
std::string decompressString(const std::string& input);

// The text of the empty database as cJSON_Print writes it: nine lines, the
// three counters at 0 and the four arrays empty, no newline after the "}".
std::string emptyDatabaseText();

// Parses text as the database and installs it with installDatabase (under
// the database lock): databaseRoot (an earlier tree is freed), the three
// counters and the four array handles. Returns false and changes
// nothing when the text does not parse to an object holding the three
// counters as numbers and the four arrays (keys found ignoring case).
// Only while no other thread uses the database (start-up, tests).
bool adoptDatabaseText(const std::string& text) EXCLUDES(databaseMutex);

// Reads path whole, inflates it and adopts it as above. False on any failure
// (cannot be read, not one zlib stream, not a database), changing nothing.
// On success every record is printed once here (start-up pays for the first
// save's printing), and when the database text is exactly the loaded text
// the database counts as saved: saves write nothing until it changes. Takes
// the save lock, so not while a save runs in this thread.
bool loadDatabaseFile(const std::string& path) EXCLUDES(databaseMutex);

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

// One save of the database to path: under the database lock the counters are
// copied into databaseRoot and a snapshot of its text is taken, printing only
// the records changed since the last save; joining, compression and the
// atomic write follow after the release. The file holds exactly
// zlib(cJSON_Print(databaseRoot)). When nothing changed since the last save
// that reached the file, nothing is printed or written (true). A failure
// writes one line "Database save failed: <reason>" on standard error and
// returns false; the previous file stays and the next save writes again.
// Saves never overlap, so an older snapshot never replaces a newer one.
bool saveDatabaseNow(const std::string& path) EXCLUDES(databaseMutex);

// The last save before the process ends: as saveDatabaseNow, but returns with
// the database lock still held (and every later save blocked), so nothing
// changes the database after this snapshot. Only for the orderly stop.
bool saveDatabaseForExit(const std::string& path) ACQUIRE(databaseMutex);

// The writer thread's body: until stop is found true at the top of a cycle,
// pauses interval_ms milliseconds and saves once with saveDatabaseNow. With
// interval_ms 0 or less it saves back to back while the database changes and
// sleeps until the next change while it does not (it sees stop within a
// tenth of a second then). A failed save is reported and the next cycle
// tries again.
void persistDatabase(std::string path, int interval_ms, std::atomic<bool>& stop);

// Same cycles; each writes text unchanged to path with writeTextFile.
void writeTextLoop(const char* path, const std::string& text, int interval_ms,
                   std::atomic<bool>& stop);

// Same cycles; each writes the formatted print of tree (uncompressed) to path
// with writeTextFile. No lock is taken: tree must not change while it runs.
void writeJsonLoop(const char* path, const cJSON* tree, int interval_ms, std::atomic<bool>& stop);

namespace databasefile_detail {
// How many saves saveDatabaseNow has begun in this process (a save that finds
// nothing changed included); for the tests of the writer's pauses.
std::uint64_t savesBegunCount();
// compressString and decompressString hand their input to zlib in pieces of
// at most pieceBytes (zlib counts input in 32 bits); exposed for the tests.
std::string compressInPieces(const std::string& input, int level, size_t pieceBytes);
std::string decompressInPieces(const std::string& input, size_t pieceBytes);
}  // namespace databasefile_detail
