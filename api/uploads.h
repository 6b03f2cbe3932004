// uploads.h -- uploaded image files under uploads/: their dated paths, their
// writes outside the database lock, the names a request holds while it
// writes, the news images of postnews, and their removal with the
// directories they leave empty.
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

#include <cjson/cJSON.h>

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

// The Unix time that d names in local time (mktime: fields out of range carry
// over); -1 when it cannot be represented.
std::time_t fromDateParts(const DateParts& d);

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

// One file of a postnews request.
struct NewsImageWrite {
  std::size_t part = 0;       // its part in the request
  bool withData = false;      // false: stored empty (a part without data taken as image n)
  std::string path;           // its stored path
  bool replacesKept = false;  // see replacesKeptFile: moved into place after the commit
  std::string temp;           // its temporary file while it is not in place
};

// What a postnews request stores, planned from its image parts before any
// file is written. Image parts are parts[start .. partCount-1]. A part with
// data is stored as image n when its file name is the decimal text of n, with
// n below partCount and not below the number of the last image stored by the
// request; a part without data (or with only blanks, tabs, CR and LF, unless
// its Content-Length line gave them) keeps the existing image its URL-encoded
// file name names, unless its file name is the number of the last image
// stored (0 at first): then it is stored as that image, empty. Two parts of
// the same number have the same path: the later one's bytes stay.
struct NewsImagePlan {
  std::vector<std::string> images;     // the item's new images list, in part order
  std::vector<NewsImageWrite> writes;  // the files to write, in part order
  std::vector<std::string> kept;       // the stored paths that parts keep
  // What the request names: every image part's decoded file name, then the
  // paths it writes. An old image named so is not removed.
  std::vector<std::string> named;
  int imageParts = 0;  // partCount - start
};

// Plans the images of a postnews request for news item newsId at time now.
// Writes nothing and reads no shared state.
NewsImagePlan planNewsImages(int start, int partCount, int newsId,
                             const std::vector<FormPart>& parts, std::time_t now);

// Marks the writes that replace a kept file (see replacesKeptFile; a path in
// oldImages, the item's current images list or null, is named by a record),
// and holds every name of the plan in names. False when a name cannot be
// held: the request is refused (names still holds what it got, for its
// destructor to release).
bool holdNewsImageNames(NewsImagePlan& plan, const cJSON* oldImages, HeldUploadNames& names)
    REQUIRES(databaseMutex);

// Writes every file of the plan to its temporary file, then moves those that
// replace no kept file into place, in part order. False when a file cannot be
// stored whole: nothing of the plan is left then (the moved files and the
// temporary ones are removed, with the dated directories left empty).
// Without the database lock.
bool writeNewsImages(NewsImagePlan& plan, const std::vector<FormPart>& parts);

// After the commit: moves the files that replace kept ones into place, in
// part order. False when one cannot be moved (its temporary file is removed;
// the kept file stays as it was). Without the database lock.
bool moveReplacingImages(NewsImagePlan& plan);

// The commit did not happen: removes every file of the plan (those moved
// into place name nothing; the rest are temporary), with the dated
// directories left empty. Kept files are never touched. Without the lock.
void discardNewsImages(NewsImagePlan& plan);

// The old images that the request stops naming, in list order without
// repeats: only when it sends fewer image parts than oldImages has entries,
// the text entries that no part names by its decoded file name and no new
// image replaced at the same path.
std::vector<std::string> oldImagesToRemove(const NewsImagePlan& plan, const cJSON* oldImages);
