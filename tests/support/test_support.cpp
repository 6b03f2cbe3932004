// test_support.cpp -- temporary directories, child nodes and raw clients for the tests.
#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "node/config.h"
#include "node/startup.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int exitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits for pid until deadline; SIGKILLs it when the time runs out.
int waitWithDeadline(pid_t pid, long long deadline) {
  int status = 0;
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return exitStatusOf(status);
    if (r < 0 && errno != EINTR) return -1;
    if (nowMs() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return exitStatusOf(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void readAvailable(int fd, std::string& into) {
  char buf[65536];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

// Writes text to the node's standard input and closes it; a node that exits
// without reading it all cuts the write short instead of ending the test.
void writeAndClose(int fd, const std::string& text) {
  signal(SIGPIPE, SIG_IGN);
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  close(fd);
}

// Forks the node with its working directory, standard input from stdinFd,
// the given descriptors for its output and the given resource limits.
pid_t spawnNode(const std::string& dir, int stdinFd, int outFd, int errFd,
                const std::vector<NodeLimit>& limits = {}) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    for (const NodeLimit& limit : limits) {
      rlimit value{static_cast<rlim_t>(limit.soft), static_cast<rlim_t>(limit.hard)};
      if (setrlimit(limit.resource, &value) != 0) _exit(126);
    }
    dup2(stdinFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    std::string binary = nodeBinary();
    execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/ondrix-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only directories behind; make them writable first.
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

ScopedChdir::ScopedChdir(const std::string& dir) {
  previous = fs::current_path().string();
  fs::current_path(dir);
}

ScopedChdir::~ScopedChdir() {
  std::error_code ec;
  fs::current_path(previous, ec);
}

int bindLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

int freePort() {
  int port = 0;
  const int fd = bindLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}

std::string minimalConfig(int port, int writeIntervalMs, const std::string& extraMembers) {
  std::ostringstream c;
  c << "{\n\t\"name\":\t\"Test "
       "node\",\n\t\"icon\":\t\"img/icon.png\",\n\t\"cover\":\t\"img/cover.png\",\n"
    << "\t\"port\":\t" << port << ",\n\t\"page_size\":\t5,\n";
  if (!extraMembers.empty()) c << "\t" << extraMembers << ",\n";
  c << "\t\"write_interval\":\t" << writeIntervalMs << ",\n"
    << "\t\"watermark\":\t{\n\t\t\"path\":\t\"img/watermark.png\",\n\t\t\"offsetX\":\t0,\n"
    << "\t\t\"offsetY\":\t0,\n\t\t\"position\":\t0\n\t},\n"
    << "\t\"sercut_key\":\t\"0000\",\n\t\"edit_interval\":\t7776000\n}";
  return c.str();
}

bool useConfiguration(const std::string& configText) {
  loadConfigurationText(configText);
  return configRoot != nullptr;
}

std::string nodeBinary() { return ONDRIX_NODE_BINARY; }

ProcessResult runNodeToExit(const std::string& dir, const std::string& stdinText, int timeoutMs,
                            const std::vector<NodeLimit>& limits) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  pid_t pid = spawnNode(dir, in[0], out[1], err[1], limits);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  std::thread writer([&] { writeAndClose(in[1], stdinText); });
  std::thread errReader([&] { readAvailable(err[0], result.err); });
  long long deadline = nowMs() + timeoutMs;
  std::thread killer([&] { result.exitStatus = waitWithDeadline(pid, deadline); });
  readAvailable(out[0], result.out);
  killer.join();
  errReader.join();
  writer.join();
  close(out[0]);
  close(err[0]);
  return result;
}

NodeProcess::~NodeProcess() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
  }
  if (stdoutFd >= 0) close(stdoutFd);
}

namespace {

// Waits until the node prints its listening line (true) or closes its output,
// exits or runs out of time (false); what it printed is added to node.outSoFar.
bool awaitListening(NodeProcess& node, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  while (nowMs() < deadline) {
    pollfd p{node.stdoutFd, POLLIN, 0};
    int r = poll(&p, 1, 50);
    if (r > 0) {
      char buf[4096];
      ssize_t n = read(node.stdoutFd, buf, sizeof buf);
      if (n <= 0) return false;  // the node closed its output: it has exited
      node.outSoFar.append(buf, static_cast<size_t>(n));
      // The socket listens before the line is printed.
      if (node.outSoFar.find("Listening on 0.0.0.0:") != std::string::npos) return true;
    }
  }
  return false;
}

// awaitListening for a node just started in the background; one that has
// exited instead is reaped (its pid becomes -1).
bool awaitStart(NodeProcess& node, int timeoutMs) {
  if (awaitListening(node, timeoutMs)) return true;
  int status;
  if (waitpid(node.pid, &status, WNOHANG) == node.pid) node.pid = -1;
  return false;
}

}  // namespace

ProcessResult runNodeUntilListening(const std::string& dir, const std::string& stdinText,
                                    int timeoutMs) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  NodeProcess node;
  node.dir = dir;
  node.pid = spawnNode(dir, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  node.stdoutFd = out[0];
  std::thread writer([&] { writeAndClose(in[1], stdinText); });
  std::thread errReader([&] { readAvailable(err[0], result.err); });
  bool listening = awaitListening(node, timeoutMs);
  if (listening) kill(node.pid, SIGKILL);
  // A node that closed its output is exiting; one that is stuck is killed at the deadline.
  result.exitStatus = waitWithDeadline(node.pid, nowMs() + timeoutMs);
  node.pid = -1;
  readAvailable(node.stdoutFd, node.outSoFar);
  result.out = node.outSoFar;
  errReader.join();
  writer.join();
  close(err[0]);
  return result;
}

bool startNodeWithInput(NodeProcess& node, const std::string& dir, int port,
                        const std::string& stdinText, int timeoutMs) {
  int in[2], out[2];
  if (pipe(in) != 0) return false;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  node.dir = dir;
  node.port = port;
  node.pid = spawnNode(dir, in[0], out[1], 2);
  close(in[0]);
  close(out[1]);
  node.stdoutFd = out[0];
  writeAndClose(in[1], stdinText);
  return awaitStart(node, timeoutMs);
}

bool startNode(NodeProcess& node, const std::string& dir, int port, int timeoutMs,
               const std::vector<NodeLimit>& limits) {
  int out[2];
  if (pipe(out) != 0) return false;
  int devnull = open("/dev/null", O_RDONLY);
  node.dir = dir;
  node.port = port;
  node.pid = spawnNode(dir, devnull, out[1], 2, limits);
  close(devnull);
  close(out[1]);
  node.stdoutFd = out[0];
  return awaitStart(node, timeoutMs);
}

int stopNode(NodeProcess& node, int sig, int timeoutMs) {
  if (node.pid <= 0) return -1;
  kill(node.pid, sig);
  int status = waitWithDeadline(node.pid, nowMs() + timeoutMs);
  node.pid = -1;
  if (node.stdoutFd >= 0) {
    int flags = fcntl(node.stdoutFd, F_GETFL);
    fcntl(node.stdoutFd, F_SETFL, flags | O_NONBLOCK);
    readAvailable(node.stdoutFd, node.outSoFar);
  }
  return status;
}

int connectTo(int port, int receiveBufferBytes) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBufferBytes > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void sendBytes(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
}

std::string receiveUntilClosed(int fd, int timeoutMs) {
  std::string reply;
  long long deadline = nowMs() + timeoutMs;
  while (nowMs() < deadline) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 50);
    if (r <= 0) continue;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  return reply;
}

std::string sendRaw(int port, const std::string& bytes, int timeoutMs) {
  int fd = connectTo(port);
  if (fd < 0) return "";
  sendBytes(fd, bytes);
  std::string reply = receiveUntilClosed(fd, timeoutMs);
  close(fd);
  return reply;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

std::vector<std::string> storedFiles(const std::string& dir, const std::string& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir + "/" + root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file()) found.push_back(fs::relative(it->path(), dir).string());
  }
  return found;
}

std::string seedDatabaseText(const std::vector<SeedUser>& users,
                             const std::vector<std::string>& images) {
  std::string imageList;
  for (const std::string& image : images) {
    imageList += (imageList.empty() ? "\"" : ",\"") + image + "\"";
  }
  std::string text =
      "{\"news_maxid\":1,\"user_maxid\":" + std::to_string(users.size()) +
      ",\"like_maxid\":0,"
      "\"news\":[{\"id\":1,\"title\":\"t\",\"timestamp\":1700000000,\"views\":0,\"comments\":0,"
      "\"likes\":0,\"user_id\":1,\"cover\":\"" +
      (images.empty() ? std::string() : images.front()) +
      "\"}],"
      "\"news_detail\":[{\"id\":1,\"content\":\"c\",\"images\":[" +
      imageList + "]}],\"user\":[";
  for (size_t i = 0; i < users.size(); ++i) {
    if (i > 0) text += ",";
    text += "{\"id\":" + std::to_string(i + 1) + ",\"user_sid\":\"" + users[i].sid +
            "\",\"nickname\":\"" + users[i].nickname + "\",\"nickname_uptm\":0,\"avatar\":\"" +
            users[i].avatar + "\",\"avatar_uptm\":0,\"avatar_hash\":\"" + users[i].avatarHash +
            "\"}";
  }
  return text + "],\"like\":[]}";
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() & 0xff);
  return bytes;
}

std::string printedJson(const cJSON* item) {
  char* text = cJSON_PrintUnformatted(item);
  std::string out = text != nullptr ? text : "";
  cJSON_free(text);
  return out;
}

std::string getRequest(const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\nAccept: */*\r\n\r\n";
}

std::string postRequest(const std::string& path, const std::string& contentType,
                        const std::string& body) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\nContent-Type: " + contentType + "\r\n\r\n" + body;
}

std::string multipartBody(const std::vector<MultipartField>& fields, const std::string& boundary,
                          bool closeDelimiter) {
  std::string body;
  for (const MultipartField& f : fields) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + f.name + "\"";
    if (f.file || !f.filename.empty()) {
      body += "; filename=\"" + f.filename + "\"\r\nContent-Type: application/octet-stream";
    }
    body += "\r\n\r\n" + f.data + "\r\n";
  }
  if (closeDelimiter) body += "--" + boundary + "--\r\n";
  return body;
}

std::string multipartRequest(const std::string& path, const std::vector<MultipartField>& fields,
                             const std::string& boundary) {
  return postRequest(path, "multipart/form-data; boundary=" + boundary,
                     multipartBody(fields, boundary));
}

PairReply serveOnSocketPair(const std::function<void(int)>& handler, const std::string& request,
                            std::size_t maxReplyBytes, bool handlerCloses) {
  PairReply result;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return result;
  const int served = sv[0];
  const int client = sv[1];
  int bufferBytes = 1 << 20;
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  sendBytes(client, request);
  shutdown(client, SHUT_WR);
  std::thread reader([&] {
    char buf[65536];
    while (result.received.size() < maxReplyBytes) {
      ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n > 0) {
        result.received.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    close(client);
  });
  handler(served);
  if (handlerCloses) {
    errno = 0;
    result.handlerEndClosed = fcntl(served, F_GETFD) == -1 && errno == EBADF;
  } else {
    close(served);
  }
  reader.join();
  return result;
}

std::string captureReply(const std::function<void(int)>& handler) {
  return serveOnSocketPair(handler, "", SIZE_MAX, false).received;
}

std::pair<std::string, std::string> splitReply(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return {reply, ""};
  return {reply.substr(0, end + 4), reply.substr(end + 4)};
}

std::string runCommand(const std::string& command, int* exitStatus) {
  std::string output;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    if (exitStatus) *exitStatus = -1;
    return output;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  int status = pclose(p);
  if (exitStatus) *exitStatus = exitStatusOf(status);
  return output;
}

int runWithCappedAddressSpace(std::size_t headroomBytes, const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t size = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    rlimit cap{size + headroomBytes, size + headroomBytes};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
    int code = 125;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return exitStatusOf(status);
}

}  // namespace testsupport
