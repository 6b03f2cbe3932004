// whole_request_fuzz.cpp -- fuzz target for the whole request: the input is
// what a client sends on one connection, handed to handleConnection through a
// socket pair, so that the GET routes, the POST dispatch and every action run
// on it against a small working directory (config.json, a database, node
// pictures and a few uploads) in a temporary directory.
//
// After each input: the socket was closed, the database holds its invariants
// (the two news arrays of equal length with aligned ids, unique ids, every id
// within its counter, counters never lowered, the array nodes not replaced),
// and nothing outside uploads/ (nor beside the working directory) was created,
// removed or resized, and the reply carried no session id, no node key and no
// file that is not served. Then the database and uploads/ are put back, so every
// input runs against the same state.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "fuzz/fuzz_check.h"
#include "http/connection.h"
#include "node/startup.h"
#include "storage/database.h"
#include "storage/database_file.h"

namespace fs = std::filesystem;

namespace {

const char* const kConfig = R"({
	"name":	"Fuzz node",
	"icon":	"img/icon.png",
	"cover":	"img/cover.png",
	"port":	8080,
	"page_size":	5,
	"admin":	[1],
	"write_interval":	10000,
	"watermark":	{
		"path":	"img/watermark.png",
		"offsetX":	0,
		"offsetY":	0,
		"position":	0
	},
	"sercut_key":	"fuzz-node-key-4f2a9c",
	"edit_interval":	0
})";

// User 1 is the administrator (sid-admin), user 2 an ordinary user
// (sid-user), user 3 has an empty session id; news 1 has one image.
const char* const kDatabase = R"({
	"news_maxid":	2,
	"user_maxid":	3,
	"like_maxid":	1,
	"news":	[{"id": 1, "title": "First", "timestamp": 1715860000, "views": 3, "comments": 0, "likes": 1, "user_id": 1, "cover": "uploads/img/2024/5/16/1/01715860000.webp"},
		{"id": 2, "title": "Second", "timestamp": 1715860100, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""}],
	"news_detail":	[{"id": 1, "content": "Hello", "images": ["uploads/img/2024/5/16/1/01715860000.webp"]},
		{"id": 2, "content": "Plain", "images": []}],
	"user":	[{"id": 1, "user_sid": "sid-admin", "nickname": "Admin", "nickname_uptm": 0, "avatar": "uploads/avatar/2024/5/16/11715860000.webp", "avatar_uptm": 0, "avatar_hash": "h-admin"},
		{"id": 2, "user_sid": "sid-user", "nickname": "User", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""},
		{"id": 3, "user_sid": "", "nickname": "Nobody", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""}],
	"like":	[{"id": 1, "news_id": 1, "user_id": 2, "timestamp": 1715860200}]
})";

// Texts no reply may carry: the node key, a file beside the working directory,
// the session ids and avatar hashes of the database, and the saved database.
const char* const kOutsideSecret = "outside-secret-5a4b3c";
const char* const kNeverSent[] = {"fuzz-node-key-4f2a9c", kOutsideSecret, "sid-admin", "sid-user",
                                  "h-admin"};
std::string savedDatabase;

const char* const kUploads[] = {"uploads/avatar/2024/5/16/11715860000.webp",
                                "uploads/img/2024/5/16/1/01715860000.webp"};

// Replies are drained up to this much; then the peer hangs up, as a client
// would, which also ends any reply that does not end by itself.
constexpr size_t kMaxReplyBytes = 4 * 1024 * 1024;

fs::path fixtureRoot;  // holds work/ (the working directory) and outside/
fs::path workDir;
std::map<std::string, uintmax_t> filesOutsideUploads;

void writeBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Every entry under the fixture root but those inside work/uploads, with its
// size (-1 for directories).
std::map<std::string, uintmax_t> snapshotOutsideUploads() {
  std::map<std::string, uintmax_t> entries;
  const fs::path uploads = workDir / "uploads";
  for (auto it = fs::recursive_directory_iterator(fixtureRoot);
       it != fs::recursive_directory_iterator(); ++it) {
    if (it->path() == uploads) {
      it.disable_recursion_pending();
      continue;
    }
    entries[it->path().string()] =
        it->is_directory() ? static_cast<uintmax_t>(-1) : it->file_size();
  }
  return entries;
}

std::map<std::string, uintmax_t> uploadsAsMade;

std::map<std::string, uintmax_t> snapshotUploads() {
  std::map<std::string, uintmax_t> entries;
  for (const auto& entry : fs::recursive_directory_iterator(workDir / "uploads")) {
    entries[entry.path().string()] =
        entry.is_directory() ? static_cast<uintmax_t>(-1) : entry.file_size();
  }
  return entries;
}

// Rebuilt only when an input changed it: directory creation and removal are
// what costs most per input.
void resetUploads() {
  if (!uploadsAsMade.empty() && snapshotUploads() == uploadsAsMade) return;
  fs::remove_all(workDir / "uploads");
  for (const char* upload : kUploads) writeBytes(workDir / upload, "RIFF....WEBP stored");
  uploadsAsMade = snapshotUploads();
}

void resetDatabase() { FUZZ_CHECK(adoptDatabaseText(kDatabase)); }

void removeFixture() {
  std::error_code ec;
  fs::remove_all(fixtureRoot, ec);
}

// Ids of one array: positive, unique and within the counter.
void checkIds(const cJSON* array, int counter) {
  std::set<int> seen;
  const cJSON* record = nullptr;
  cJSON_ArrayForEach(record, array) {
    const cJSON* id = cJSON_GetObjectItemCaseSensitive(record, "id");
    FUZZ_CHECK(cJSON_IsNumber(id));
    FUZZ_CHECK(id->valueint > 0 && id->valueint <= counter);
    FUZZ_CHECK(seen.insert(id->valueint).second);
  }
}

void checkDatabase() {
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "news") == newsArray);
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "news_detail") == newsDetailArray);
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "user") == userArray);
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "like") == likeArray);
  FUZZ_CHECK(cJSON_IsArray(newsArray) && cJSON_IsArray(newsDetailArray));
  FUZZ_CHECK(cJSON_IsArray(userArray) && cJSON_IsArray(likeArray));

  const int count = cJSON_GetArraySize(newsArray);
  FUZZ_CHECK(count == cJSON_GetArraySize(newsDetailArray));
  for (int i = 0; i < count; ++i) {
    const cJSON* news = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(newsArray, i), "id");
    const cJSON* detail =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(newsDetailArray, i), "id");
    FUZZ_CHECK(cJSON_IsNumber(news) && cJSON_IsNumber(detail));
    FUZZ_CHECK(news->valueint == detail->valueint);
  }
  // The fixture starts at 2, 3 and 1; counters are never lowered.
  FUZZ_CHECK(news_maxid >= 2 && user_maxid >= 3 && like_maxid >= 1);
  checkIds(newsArray, news_maxid);
  checkIds(userArray, user_maxid);
  checkIds(likeArray, like_maxid);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // As in the node: a client that has gone only ends the reply.
  signal(SIGPIPE, SIG_IGN);
  // In memory when the system has /dev/shm: inputs create and remove files
  // and directories all the time.
  std::error_code ec;
  std::string pattern =
      fs::is_directory("/dev/shm", ec) ? "/dev/shm/ondrix-fuzz-XXXXXX" : "/tmp/ondrix-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  fixtureRoot = pattern;
  workDir = fixtureRoot / "work";
  writeBytes(fixtureRoot / "outside" / "secret.txt", kOutsideSecret);
  writeBytes(workDir / "config.json", kConfig);
  savedDatabase = compressString(kDatabase, -1);
  writeBytes(workDir / "data" / "index.ndb", savedDatabase);
  writeBytes(workDir / "img" / "icon.png", "icon");
  writeBytes(workDir / "img" / "cover.png", "cover");
  writeBytes(workDir / "img" / "watermark.png", "watermark");
  resetUploads();
  fs::current_path(workDir);
  std::atexit(removeFixture);

  loadConfigurationText(kConfig);
  FUZZ_CHECK(configurationProblem().empty());
  resetDatabase();
  filesOutsideUploads = snapshotOutsideUploads();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  const int server = pair[0];
  const int client = pair[1];

  // The whole input is queued before the task starts, so that what its first
  // receive brings does not depend on thread timing.
  int bufferBytes = 1 << 20;
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(client, data + sent, size - sent, MSG_NOSIGNAL);
    FUZZ_CHECK(n > 0);
    sent += static_cast<size_t>(n);
  }
  shutdown(client, SHUT_WR);

  std::string reply;
  std::thread reader([client, &reply] {
    char buffer[65536];
    while (reply.size() < kMaxReplyBytes) {
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<size_t>(n));
    }
    close(client);
  });

  try {
    handleConnection(server);
  } catch (const std::exception&) {
    // An exception may leave the task (the pool keeps it in the task's
    // future); the socket must still be closed.
  }
  reader.join();

  errno = 0;
  FUZZ_CHECK(fcntl(server, F_GETFD) == -1 && errno == EBADF);
  checkDatabase();
  FUZZ_CHECK(snapshotOutsideUploads() == filesOutsideUploads);
  for (const char* secret : kNeverSent) FUZZ_CHECK(reply.find(secret) == std::string::npos);
  FUZZ_CHECK(reply.find(savedDatabase.substr(0, 64)) == std::string::npos);
  // ONDRIX_FUZZ_SHOW_REPLIES=1 prints the start of each reply (to look over a
  // corpus by hand).
  if (std::getenv("ONDRIX_FUZZ_SHOW_REPLIES")) {
    std::string shown = reply.substr(0, 300);
    std::fprintf(stderr, "reply (%zu bytes): %s\n", reply.size(), shown.c_str());
  }

  resetDatabase();
  resetUploads();
  return 0;
}
