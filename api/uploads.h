// uploads.h -- uploaded image files under uploads/: their dated paths, their
// writes outside the database lock, the names a request holds while it
// writes, and their removal with the directories they leave empty (the
// news images of postnews: api/news_images.h).
//
// A request checks and holds its names under the lock, writes its files
// without it and commits its records under it again. A file that a record
// names, or whose removal waits for a save, is replaced only after the commit
// that names it again, so a request that fails never changes it.
//
// Stored paths, relative to the working directory, with plain decimal
// numbers and the local date of the request:
//   uploads/img/Y/M/D/<news id>/<image number><now>.webp     (news image)
//   uploads/avatar/Y/M/D/<user id><now>.webp                 (avatar)
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "http/multipart.h"
#include "storage/database.h"
#include "storage/deferred_removals.h"

// The two upload roots (they themselves are never removed) and the file
// name ending of every stored upload.
constexpr const char* kNewsImageRoot = "uploads/img";
constexpr const char* kAvatarRoot = "uploads/avatar";
constexpr const char* kUploadExtension = ".webp";

// A calendar time in local time.
struct DateParts {
  int year = 0;   // the full year (2024)
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// t in local time; all six fields 0 when t cannot be converted. Safe on
// several threads at once (each call converts into storage of its own).
DateParts toDateParts(std::time_t t);

// "uploads/avatar/Y/M/D/" for the date d.
std::string avatarDirectory(const DateParts& d);

// "uploads/img/Y/M/D/<newsId>/" for the date d.
std::string newsImageDirectory(const DateParts& d, int newsId);

// True when path has the form of a stored news image path: it begins with
// "uploads/img/", has no empty, "." or ".." segment and no NUL byte. Only
// such names keep an existing image in a postnews edit.
bool isStoredNewsImagePath(const std::string& path);

// True when path lies under "uploads/img/" or "uploads/avatar/" and has no
// empty, "." or ".." segment and no NUL byte. Every removal of an upload
// (file or directories) skips any other path.
bool isRemovableUploadPath(const std::string& path);

// A new upload is written to "<its path><kUploadTempSuffix>XXXXXX" beside its
// path first, synced, and renamed over the path only once every byte is on
// disk; the directory is synced after the rename, so that a saved database
// never names a file that a power loss emptied or took away.
constexpr const char* kUploadTempSuffix = ".tmp-";

// Writes bytes unchanged to a new temporary file beside path, syncs it and
// returns its name; "" when the file cannot be created or a write, the sync
// or the close fails (the temporary file is then removed again). path itself
// is not touched.
std::string writeUploadTemp(const std::string& path, std::string_view bytes);

// Syncs the directory that holds path, making the renames into it durable.
// False when the directory cannot be opened or synced.
bool syncUploadDirectory(const std::string& path);

// Stores bytes unchanged at path (writeUploadTemp, the rename over path, then
// syncUploadDirectory). False when any step fails: nothing of this call is
// left behind and whatever was at path stays as it was, except when only the
// directory sync failed after the rename replaced a file at path: the new
// file then stays there.
bool writeUploadFile(const std::string& path, std::string_view bytes);

// Removes the file named by a stored upload path. False when the path is not
// removable (see isRemovableUploadPath) or the removal fails.
bool removeUploadFile(const std::string& storedPath);

// Removes the dated directories of a stored upload path that are left empty:
// from the deepest all-digit directory up to, never including, the upload
// root. Does nothing for a path that is not removable. Errors end it silently.
void removeUploadDirectories(const std::string& storedPath);

// The bytes of an uploaded part, as the form gives them.
using UploadBytes = decltype(FormPart::data);

// Writes bytes to a temporary file beside path (writeUploadTemp), making
// directory (path's directory) first. A directory that a removal of emptied
// directories takes away between its making and the file's creation is made
// again, a few times. Returns the temporary file's name, "" when it cannot be
// stored whole (nothing is left of it then; the directories made stay).
// Without the database lock.
std::string writeUploadTempIn(const std::string& directory, const std::string& path,
                              const UploadBytes& bytes);

// As writeUploadTempIn, then renamed over path (writeUploadFile). False when
// any step fails: nothing of this call is left but the directories it made.
bool storeUploadIn(const std::string& directory, const std::string& path, const UploadBytes& bytes);

// Removes a stored upload that no record names (a file this request stored
// and could not commit) at once, with the dated directories it leaves empty.
// Without the database lock.
void discardStoredUpload(const std::string& storedPath);

// Queues the removal of a stored upload that a change has just stopped
// naming, for after the next save (deferRemoval); its dated directories go
// when left empty as directories says. A path that is not removable (see
// isRemovableUploadPath) is passed over.
void deferUploadRemoval(const std::string& storedPath, EmptiedDirectories directories)
    REQUIRES(databaseMutex);

// Whether a request that writes storedPath must leave the file as it is
// until its commit: a record names it (namedByRecord) or its removal waits.
bool replacesKeptFile(const std::string& storedPath, bool namedByRecord) REQUIRES(databaseMutex);

// The upload names one request holds (holdForWriting, holdForKeeping) from
// its checks until its commit, or until the files that replace named ones are
// in place. The destructor releases what is still held and takes the database
// lock for it: destroy it only while the lock is not held.
class HeldUploadNames {
 public:
  HeldUploadNames() = default;
  ~HeldUploadNames();
  HeldUploadNames(const HeldUploadNames&) = delete;
  HeldUploadNames& operator=(const HeldUploadNames&) = delete;

  // Holds path for writing (a second call for the same path holds it once).
  // False when another request writes it or its removal is under way.
  bool holdForWriting(const std::string& path) REQUIRES(databaseMutex);
  void holdForKeeping(const std::string& path) REQUIRES(databaseMutex);
  // Releases every name held.
  void releaseLocked() REQUIRES(databaseMutex);

 private:
  std::vector<std::string> writing;
  std::vector<std::string> keeping;
};

// Nothing in the node calls this.

// The Unix time that d names in local time (mktime: fields out of range carry
// over); -1 when it cannot be represented.
std::time_t fromDateParts(const DateParts& d);
