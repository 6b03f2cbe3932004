// node_fixture.h -- the working directory of the fuzz targets that serve a
// whole connection: config.json, a database, node pictures and a few uploads
// in a temporary directory (beside a directory no request may reach), and
// the connection loop that serves them.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "fuzz/fuzz_check.h"
#include "http/connection_loop.h"
#include "node/startup.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

namespace fuzzfixture {

namespace fs = std::filesystem;

inline const char* const kConfig = R"({
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
inline const char* const kDatabase = R"({
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
inline const char* const kOutsideSecret = "outside-secret-5a4b3c";
inline const char* const kNeverSent[] = {"fuzz-node-key-4f2a9c", kOutsideSecret, "sid-admin",
                                         "sid-user", "h-admin"};
inline std::string savedDatabase;  // the compressed kDatabase, as data/index.ndb holds it

inline const char* const kUploads[] = {"uploads/avatar/2024/5/16/11715860000.webp",
                                       "uploads/img/2024/5/16/1/01715860000.webp"};

// Replies are drained up to this much; then the peer hangs up, as a client
// would, which also ends any reply that does not end by itself.
inline constexpr size_t kMaxReplyBytes = 4 * 1024 * 1024;

inline std::unique_ptr<testsupport::TempDir> fixture;  // removed at exit
inline fs::path fixtureRoot;  // holds work/ (the working directory) and outside/
inline fs::path workDir;

// Every entry below root but those inside skipped, with its size (-1 for
// directories).
inline std::map<std::string, uintmax_t> entriesBelow(const fs::path& root,
                                                     const fs::path& skipped = {}) {
  std::map<std::string, uintmax_t> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->path() == skipped) {
      it.disable_recursion_pending();
      continue;
    }
    entries[it->path().string()] =
        it->is_directory() ? static_cast<uintmax_t>(-1) : it->file_size();
  }
  return entries;
}

// Every entry under the fixture root but those inside work/uploads.
inline std::map<std::string, uintmax_t> snapshotOutsideUploads() {
  return entriesBelow(fixtureRoot, workDir / "uploads");
}

inline std::map<std::string, uintmax_t> filesOutsideUploads;  // as set up
inline std::map<std::string, uintmax_t> uploadsAsMade;

// Rebuilt only when an input changed it: directory creation and removal are
// what costs most per input.
inline void resetUploads() {
  if (!uploadsAsMade.empty() && entriesBelow(workDir / "uploads") == uploadsAsMade) return;
  fs::remove_all(workDir / "uploads");
  for (const char* upload : kUploads) {
    testsupport::writeFile((workDir / upload).string(), "RIFF....WEBP stored");
  }
  uploadsAsMade = entriesBelow(workDir / "uploads");
}

// While a connection is served, every removal must name something inside
// uploads/: the target's own remove, unlink and rmdir (below) check the path
// before anything is removed, so a path that escapes is caught before it
// does harm.
inline std::atomic<bool> guardRemovals{false};

inline void checkRemoval(const char* path) {
  if (!guardRemovals.load()) return;
  const fs::path named = fs::path(path).is_absolute() ? fs::path(path) : workDir / path;
  const fs::path target = named.lexically_normal();
  const fs::path uploads = (workDir / "uploads").lexically_normal();
  auto mismatch = std::mismatch(uploads.begin(), uploads.end(), target.begin(), target.end());
  const bool inside = mismatch.first == uploads.end() && mismatch.second != target.end() &&
                      !mismatch.second->empty();
  if (!inside) std::fprintf(stderr, "removal outside uploads/: %s\n", path);
  FUZZ_CHECK(inside);
}

// Makes the fixture, changes into its working directory and loads the
// configuration. The database is left to the target.
inline void setUp() {
  // As in the node: a client that has gone only ends the reply.
  signal(SIGPIPE, SIG_IGN);
  // In memory when the system has /dev/shm: inputs create and remove files
  // and directories all the time.
  std::error_code ec;
  fixture = std::make_unique<testsupport::TempDir>(fs::is_directory("/dev/shm", ec) ? "/dev/shm"
                                                                                    : "/tmp");
  fixtureRoot = fixture->path;
  workDir = fixtureRoot / "work";
  auto write = [](const fs::path& path, const std::string& bytes) {
    testsupport::writeFile(path.string(), bytes);
  };
  write(fixtureRoot / "outside" / "secret.txt", kOutsideSecret);
  write(workDir / "config.json", kConfig);
  savedDatabase = compressString(kDatabase, -1);
  write(workDir / "data" / "index.ndb", savedDatabase);
  write(workDir / "img" / "icon.png", "icon");
  write(workDir / "img" / "cover.png", "cover");
  write(workDir / "img" / "watermark.png", "watermark");
  resetUploads();
  fs::current_path(workDir);

  FUZZ_CHECK(testsupport::useConfiguration(kConfig) && configurationProblem().empty());
  filesOutsideUploads = snapshotOutsideUploads();
}

// The loop that serves the fixture's connections with the API's routes,
// listening on a loopback port as the node's loops listen on theirs. Made
// at the first serve and run on a thread of its own until the process ends,
// as the node's loops run: it and its room are never freed.
inline ConnectionLoop* servingLoop = nullptr;
inline int servingPort = 0;

inline void startServing() {
  int listener = testsupport::bindLoopback(&servingPort);
  FUZZ_CHECK(listener >= 0);
  HeldRequestBytes* room = new HeldRequestBytes;
  servingLoop =
      openConnectionLoop(RequestHandlers{handleGet, handlePost}, ConnectionLimits{}, *room)
          .release();
  FUZZ_CHECK(servingLoop != nullptr && listenOn(*servingLoop, listener));
  std::thread(runConnectionLoop, std::ref(*servingLoop)).detach();
}

// Sends request on a connection of its own to the serving loop, then reads
// what the node sends until it closes the connection, and returns it.
// Checks that the node closed it (unless the client hung up first, after
// kMaxReplyBytes).
inline std::string serve(const std::string& request) {
  if (servingLoop == nullptr) startServing();
  guardRemovals = true;
  const int client = testsupport::connectTo(servingPort);
  FUZZ_CHECK(client >= 0);
  // Room for the whole request, which goes out before any reply is read.
  int sendRoom = 1 << 20;
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &sendRoom, sizeof sendRoom);
  testsupport::sendBytes(client, request);
  shutdown(client, SHUT_WR);
  const timeval giveUp{30, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &giveUp, sizeof giveUp);
  std::string received;
  bool closedByNode = false;
  char buffer[65536];
  while (received.size() < kMaxReplyBytes) {
    const ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n > 0) {
      received.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    closedByNode = n == 0 || errno == ECONNRESET;
    break;
  }
  close(client);
  guardRemovals = false;
  FUZZ_CHECK(closedByNode || received.size() >= kMaxReplyBytes);
  return received;
}

inline std::string serve(const uint8_t* data, size_t size) {
  return serve(std::string(reinterpret_cast<const char*>(data), size));
}

}  // namespace fuzzfixture

// The process's removals, each checked first (see checkRemoval). As the C
// library's remove: unlink, and rmdir for a directory.
extern "C" int unlink(const char* path) noexcept {
  fuzzfixture::checkRemoval(path);
  return static_cast<int>(syscall(SYS_unlink, path));
}

extern "C" int rmdir(const char* path) noexcept {
  fuzzfixture::checkRemoval(path);
  return static_cast<int>(syscall(SYS_rmdir, path));
}

extern "C" int remove(const char* path) noexcept {
  fuzzfixture::checkRemoval(path);
  if (syscall(SYS_unlink, path) == 0) return 0;
  if (errno != EISDIR) return -1;
  return static_cast<int>(syscall(SYS_rmdir, path));
}
