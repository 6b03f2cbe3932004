// robustness_support.h -- raw clients and request builders for the
// robustness tests against the real node: exchanges with a half-close or an
// early hang-up, URL-encoded form requests, the saved database text, process
// liveness; and for those in process: multipart forms handed to the actions,
// the upload paths that the records name.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "http/multipart.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

namespace robustness {

inline long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct ExchangeOptions {
  bool halfClose = true;   // shut the sending side after the request
  size_t hangUpAfter = 0;  // > 0: reset the connection once this much arrived
  int timeoutMs = 15000;   // give up waiting for the node's close
};

// Connects to 127.0.0.1:port, sends bytes (a node that closes early may cut
// the send short), then reads until the node closes. "" when nothing came.
inline std::string requestReply(int port, const std::string& bytes, ExchangeOptions options = {}) {
  int fd = testsupport::connectTo(port);
  if (fd < 0) return "";
  testsupport::sendBytes(fd, bytes);
  if (options.halfClose) shutdown(fd, SHUT_WR);
  std::string reply;
  long long deadline = nowMs() + options.timeoutMs;
  while (nowMs() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
    if (options.hangUpAfter > 0 && reply.size() >= options.hangUpAfter) {
      // A reset, not a polite close: the node's next send fails at once.
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      break;
    }
  }
  close(fd);
  return reply;
}

// The status code of a raw reply, 0 when it has no status line.
inline int statusOf(const std::string& reply) {
  if (reply.compare(0, 9, "HTTP/1.1 ") != 0 || reply.size() < 12) return 0;
  return std::atoi(reply.substr(9, 3).c_str());
}

inline std::string bodyOf(const std::string& reply) {
  return testsupport::splitReply(reply).second;
}

inline std::string formRequest(const std::string& path, const std::string& body) {
  return testsupport::postRequest(path, "application/x-www-form-urlencoded", body);
}

// The text of a saved database file; "" when it cannot be read or inflated.
inline std::string savedDatabaseText(const std::string& path) {
  try {
    return decompressString(testsupport::readFile(path));
  } catch (const std::exception&) {
    return "";
  }
}

// True while the child process runs. It is not reaped here, so stopNode
// still collects its status.
inline bool processAlive(pid_t pid) {
  if (pid <= 0) return false;
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

// The old uploads of seededDatabase(): user 2's avatar and news item 1's two
// images (its cover the first).
inline const std::string kSeedAvatar = "uploads/avatar/2020/1/2/21577923200.webp";
inline const std::string kSeedImage0 = "uploads/img/2020/1/2/1/01577923200.webp";
inline const std::string kSeedImage1 = "uploads/img/2020/1/2/1/11577923200.webp";
inline const std::vector<std::string> kSeedUploads = {kSeedAvatar, kSeedImage0, kSeedImage1};

// User 1 the administrator (sid s1), user 2 (s2, avatar hash h-old) with the
// seeded avatar, news item 1 with the two seeded images.
inline std::string seededDatabase() {
  return testsupport::seedDatabaseText({{"s1", "Admin"}, {"s2", "User", kSeedAvatar, "h-old"}},
                                       {kSeedImage0, kSeedImage1});
}

// Writes the seeded uploads, each holding "old", under dir.
inline void writeSeedUploads(const std::string& dir) {
  for (const std::string& path : kSeedUploads) testsupport::writeFile(dir + "/" + path, "old");
}

// A config.json text with user 1 an administrator and no edit interval (a
// user may change the avatar again at once), saving every writeIntervalMs.
inline std::string settingsWithoutEditInterval(int port, int writeIntervalMs) {
  std::string config = testsupport::minimalConfig(port, writeIntervalMs, "\"admin\": [1]");
  const std::string interval = "\"edit_interval\":\t7776000";
  return config.replace(config.find(interval), interval.size(), "\"edit_interval\":\t0");
}

inline bool isRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A multipart form for an action called in process; its bytes outlive its
// parts, whichever way the parts hold them.
struct Form {
  std::deque<std::string> bytes;
  std::vector<FormPart> parts;
  Form& add(const std::string& name, const std::string& data, const std::string& filename = "") {
    bytes.push_back(name);
    const std::string& n = bytes.back();
    bytes.push_back(data);
    const std::string& d = bytes.back();
    bytes.push_back(filename);
    parts.push_back(FormPart{n, d, bytes.back(), ""});
    return *this;
  }
  int count() const { return static_cast<int>(parts.size()); }
};

// The upload paths that the installed database's records name: users'
// avatars, news covers and images (texts under uploads/ only).
inline std::set<std::string> namedUploads() {
  std::set<std::string> named;
  auto note = [&](const cJSON* item) {
    if (cJSON_IsString(item) && std::string(item->valuestring).rfind("uploads/", 0) == 0) {
      named.insert(item->valuestring);
    }
  };
  DatabaseLock lock(databaseMutex);
  const cJSON* record = nullptr;
  cJSON_ArrayForEach(record, userArray) note(cJSON_GetObjectItem(record, "avatar"));
  cJSON_ArrayForEach(record, newsArray) note(cJSON_GetObjectItem(record, "cover"));
  cJSON_ArrayForEach(record, newsDetailArray) {
    const cJSON* image = nullptr;
    cJSON_ArrayForEach(image, cJSON_GetObjectItem(record, "images")) note(image);
  }
  return named;
}

}  // namespace robustness
