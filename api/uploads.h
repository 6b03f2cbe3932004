// uploads.h -- uploaded image files under uploads/: the local calendar date
// that names their directories, the news image files of postnews, and the
// removal of a stored upload together with the directories it leaves empty.
//
// A stored upload path is relative to the working directory:
//   uploads/img/Y/M/D/<news id>/<image number><now>.webp     (news image)
//   uploads/avatar/Y/M/D/<user id><now>.webp                 (avatar)
// with plain decimal numbers and the local date of the request's time.
#pragma once

#include <cjson/cJSON.h>

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "http/multipart.h"

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

// Writes the image parts parts[start .. partCount-1] of a postnews request for
// news item newsId at time now, and returns the item's new images list (a new
// array owned by the caller, free with cJSON_Delete), or null when an image
// cannot be stored. A part with data is stored as image n when its file name
// is the decimal text of n, with n below partCount and not below the number
// of the last image stored in this call; a part without data (or with only
// blanks, tabs, CR and LF, unless its Content-Length line gave them) keeps
// the existing image its URL-encoded file name names.
// Every new file is written in full and synced before any is moved into
// place, their directory is synced once they all are, and the old images are
// removed only after that: when there are fewer image parts than entries in
// oldImages (which may be null), the old images that no part names and no
// new image replaced at the same path are removed, with the directories they
// leave empty. On failure (a sync's too) the files of this call are removed
// (with the directories they leave empty) and the old images stay.
// The caller holds the database lock.
cJSON* saveNewsImages(int start, int partCount, int newsId, const std::vector<FormPart>& parts,
                      std::time_t now, const cJSON* oldImages);
