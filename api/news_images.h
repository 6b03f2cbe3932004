// news_images.h -- the image files of a postnews request: planned from its
// parts, their names held, written, moved into place after the commit, or
// discarded.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "api/uploads.h"
#include "http/multipart.h"
#include "storage/database.h"

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
