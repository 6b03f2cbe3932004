// startup.cpp -- start-up on the main thread: config.json, data/index.ndb,
// the listening socket and the writer thread, in this order.
#include "node/startup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <system_error>
#include <thread>

#include "api/settings.h"
#include "node/config.h"
#include "node/shutdown.h"
#include "node/wizard.h"
#include "node/workers.h"
#include "storage/atomic_file.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/database_writer.h"
#include "storage/file_helpers.h"
#include "storage/json_values.h"
#include "storage/records.h"
#include "storage/zlib_codec.h"

std::atomic<bool> writerStop{false};

namespace {

constexpr int kDefaultCompressionLevel = -1;
// The most descriptors the kernel lets a process open when its hard limit is
// unlimited (setrlimit refuses RLIM_INFINITY for open files).
constexpr const char* kOpenFilesCeilingPath = "/proc/sys/fs/nr_open";

enum class Presence { kPresent, kMissing, kError };

// Whether anything of any kind is at path (links followed); a status that
// fails for another reason than absence is an error.
Presence presenceOf(const char* path, std::string& reason) {
  struct stat st;
  if (stat(path, &st) == 0) return Presence::kPresent;
  if (errno == ENOENT || errno == ENOTDIR) return Presence::kMissing;
  reason = std::generic_category().message(errno);
  return Presence::kError;
}

// One start-up line on standard output.
void say(const std::string& line) {
  fputs(line.c_str(), stdout);
  fflush(stdout);
}

// Creates data/index.ndb holding the empty database. Returns false only when
// the directory cannot be made; a file that was not written fails the load.
bool createEmptyDatabase() {
  say("File \"index.ndb\" does not exist and will be created.\n");
  std::string text = emptyDatabaseText();
  if (!ensureDirectory(kDatabaseDirectory)) return false;
  try {
    std::string error;
    writeFileAtomically(kDatabasePath, compressString(text, kDefaultCompressionLevel), error);
  } catch (const std::exception&) {
  }
  return true;
}

// Opens the IPv4 listening socket on 0.0.0.0 at listenPort and prints the
// listening line. Returns the descriptor, or -1 after printing the failure.
int openListeningSocket() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    say("Create failed! \n");
    return -1;
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    fprintf(stderr, "Setsockopt SO_REUSEADDR failed. Error: %d\n", errno);
    fflush(stderr);
    close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  // The port is the low 16 bits of the configured integer; no range test.
  address.sin_port = htons(static_cast<uint16_t>(static_cast<unsigned>(listenPort) & 0xFFFFu));
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    say("Bind failed! \n");
    close(fd);
    return -1;
  }
  if (listen(fd, SOMAXCONN) != 0) {
    say("Listen failed! \n");
    close(fd);
    return -1;
  }
  say("Listening on 0.0.0.0:" + std::to_string(listenPort) + "\n");
  return fd;
}

std::string limitText(rlim_t value) {
  return value == RLIM_INFINITY ? "unlimited"
                                : std::to_string(static_cast<unsigned long long>(value));
}

// Every connection holds a descriptor, and a service's soft limit is often
// 1,024: the soft limit is raised to the hard one (to the kernel's ceiling
// when that is unlimited). One line on standard error when it cannot be.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    fprintf(stderr, "Cannot read the open file limit: %s\n", strerror(errno));
    return;
  }
  rlim_t wanted = limit.rlim_max;
  if (wanted == RLIM_INFINITY) {
    unsigned long long ceiling = 0;
    if (std::ifstream(kOpenFilesCeilingPath) >> ceiling) wanted = static_cast<rlim_t>(ceiling);
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= wanted) return;
  rlimit raised{wanted, limit.rlim_max};
  if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
  fprintf(stderr, "Cannot raise the open file limit from %s to %s: %s\n",
          limitText(limit.rlim_cur).c_str(), limitText(wanted).c_str(), strerror(errno));
}

// What the request handlers read of the kept configuration items.
ApiSettings apiSettingsFromConfig() {
  ApiSettings settings;
  if (const char* name = textOf(configName)) settings.name = name;
  if (const char* icon = textOf(configIcon)) settings.icon = icon;
  if (const char* cover = textOf(configCover)) settings.cover = cover;
  // A deep copy prints exactly as the configured item: every member, JSON
  // type and number is kept.
  settings.watermark.reset(cJSON_Duplicate(configWatermark, 1));
  if (configWatermark != nullptr && settings.watermark == nullptr) throw std::bad_alloc();
  if (const char* path = textOf(cJSON_GetObjectItem(configWatermark, "path"))) {
    settings.watermarkPath = path;
  }
  settings.pageSize = configIntValue(configPageSize);
  settings.editInterval = configIntValue(configEditInterval);
  return settings;
}

}  // namespace

void loadConfigurationText(const std::string& text) {
  cJSON_Delete(configRoot);
  configRoot = cJSON_ParseWithLength(text.data(), text.size());
  // cJSON_GetObjectItem ignores case and gives null for a null root.
  configName = cJSON_GetObjectItem(configRoot, "name");
  configIcon = cJSON_GetObjectItem(configRoot, "icon");
  configCover = cJSON_GetObjectItem(configRoot, "cover");
  configPort = cJSON_GetObjectItem(configRoot, "port");
  configPageSize = cJSON_GetObjectItem(configRoot, "page_size");
  administratorList = cJSON_GetObjectItem(configRoot, "admin");
  configWriteInterval = cJSON_GetObjectItem(configRoot, "write_interval");
  configWatermark = cJSON_GetObjectItem(configRoot, "watermark");
  configEditInterval = cJSON_GetObjectItem(configRoot, "edit_interval");
  listenPort = configIntValue(configPort);
  apiSettings = apiSettingsFromConfig();
}

std::string configurationProblem() {
  // The first three test presence only; the GET routes read the texts of the
  // last three on every request, so they must be texts.
  if (configPort == nullptr) return "No port!";
  if (configName == nullptr) return "No server name!";
  if (configPageSize == nullptr) return "No page size!";
  if (configWriteInterval == nullptr) return "No write interval!";
  if (configEditInterval == nullptr) return "No edit interval!";
  if (textOf(configIcon) == nullptr) return "No icon!";
  if (textOf(configCover) == nullptr) return "No cover!";
  if (textOf(cJSON_GetObjectItem(configWatermark, "path")) == nullptr) return "No watermark!";
  return "";
}

int runNode() {
  // Before any thread exists, so every thread inherits them.
  ignoreBrokenPipe();
  ignoreFileSizeSignal();
  raiseOpenFileLimit();
  writerStop = false;

  std::string reason;
  Presence config = presenceOf(kConfigPath, reason);
  if (config == Presence::kError) {
    say("Cannot test whether config.json exists: " + reason + "\n");
    return 1;
  }
  if (config == Presence::kMissing && !runSetupWizard()) return 1;

  loadConfigurationText(readTextFile(kConfigPath));
  std::string problem = configurationProblem();
  if (!problem.empty()) {
    say(problem + "\n");
    return 1;
  }

  // A save cut short by a crash leaves its temporary file; it is never loaded.
  removeStaleSaveFiles(kDatabasePath);
  Presence database = presenceOf(kDatabasePath, reason);
  if (database == Presence::kError) {
    say("Cannot test whether data/index.ndb exists: " + reason + "\n");
    return 1;
  }
  if (database == Presence::kMissing && !createEmptyDatabase()) return 1;
  if (!loadDatabaseFile(kDatabasePath)) return 1;

  // From here on SIGTERM, SIGINT and SIGHUP stop the node in order; the listening
  // line that follows tells the operator it may be stopped.
  std::string error;
  if (!startStopSignalThread(kDatabasePath, error)) {
    say("Cannot start the stop-signal thread: " + error + "\n");
    return 1;
  }

  int listenFd = openListeningSocket();
  if (listenFd < 0) return 1;

  try {
    std::thread(persistDatabase, std::string(kDatabasePath), configIntValue(configWriteInterval),
                std::ref(writerStop))
        .detach();
  } catch (const std::system_error& e) {
    say(std::string("Cannot start the writer thread: ") + e.what() + "\n");
    close(listenFd);
    return 1;
  }

  // The workers serve listenFd for ever; the stop-signal thread ends the
  // process. A pool that cannot be built ends start-up with status 1.
  return serveWithWorkers(listenFd);
}
