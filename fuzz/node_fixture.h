// node_fixture.h -- the working directory of the fuzz targets that run the
// connection task: config.json, a database, node pictures and a few uploads
// in a temporary directory (beside a directory no request may reach), and one
// connection served through a socket pair.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "fuzz/fuzz_check.h"
#include "http/connection_loop.h"
#include "node/startup.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"

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

inline fs::path fixtureRoot;  // holds work/ (the working directory) and outside/
inline fs::path workDir;
inline std::map<std::string, uintmax_t> filesOutsideUploads;  // as set up

inline void writeBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Every entry under the fixture root but those inside work/uploads, with its
// size (-1 for directories).
inline std::map<std::string, uintmax_t> snapshotOutsideUploads() {
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

inline std::map<std::string, uintmax_t> uploadsAsMade;

inline std::map<std::string, uintmax_t> snapshotUploads() {
  std::map<std::string, uintmax_t> entries;
  for (const auto& entry : fs::recursive_directory_iterator(workDir / "uploads")) {
    entries[entry.path().string()] =
        entry.is_directory() ? static_cast<uintmax_t>(-1) : entry.file_size();
  }
  return entries;
}

// Rebuilt only when an input changed it: directory creation and removal are
// what costs most per input.
inline void resetUploads() {
  if (!uploadsAsMade.empty() && snapshotUploads() == uploadsAsMade) return;
  fs::remove_all(workDir / "uploads");
  for (const char* upload : kUploads) writeBytes(workDir / upload, "RIFF....WEBP stored");
  uploadsAsMade = snapshotUploads();
}

inline void removeFixture() {
  std::error_code ec;
  fs::remove_all(fixtureRoot, ec);
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
  filesOutsideUploads = snapshotOutsideUploads();
}

// Serves request on one connection with serveConnection and returns what
// the client received. The whole request is queued (and the client's sending
// side shut) before the task starts, so what its first receive brings does
// not depend on thread timing. Checks that the task closed its socket.
inline std::string serve(const uint8_t* data, size_t size) {
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  const int server = pair[0];
  const int client = pair[1];
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
  guardRemovals = true;
  try {
    serveConnection(server, RequestHandlers{handleGet, handlePost});
  } catch (const std::exception&) {
    // An exception may leave the task (the pool keeps it in the task's
    // future); the socket must still be closed.
  }
  guardRemovals = false;
  reader.join();
  errno = 0;
  FUZZ_CHECK(fcntl(server, F_GETFD) == -1 && errno == EBADF);
  return reply;
}

inline std::string serve(const std::string& request) {
  return serve(reinterpret_cast<const uint8_t*>(request.data()), request.size());
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
