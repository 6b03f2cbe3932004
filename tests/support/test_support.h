// test_support.h -- shared fixtures for the tests and the fuzz targets
// (no GoogleTest): temporary working directories, files, the real node as a
// child process, and raw clients.
#pragma once

#include <cjson/cJSON.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Defined in builds with AddressSanitizer or ThreadSanitizer, which reserve
// more address space than a test may cap.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ONDRIX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ONDRIX_SANITIZED 1
#endif
#endif

namespace testsupport {

// A fresh directory under parent (/tmp by default), removed with everything
// in it on destruction. Throws std::runtime_error when it cannot be made.
struct TempDir {
  std::string path;
  TempDir() : TempDir("/tmp") {}
  explicit TempDir(const std::string& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& relative) const { return path + "/" + relative; }
};

// Whole-file helpers; writeFile creates missing parent directories.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool pathExists(const std::string& path);

// Changes the current directory for the lifetime of the guard (in-process
// handler tests work relative to the working directory).
struct ScopedChdir {
  std::string previous;
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;
};

// A TCP socket bound to 127.0.0.1 on a port the kernel picks, not yet
// listening; the port is stored in *port. -1 when it cannot be bound.
int bindLoopback(int* port);

// A loopback TCP port that was free a moment ago.
int freePort();

// A config.json text with every key start-up requires. port as given;
// extraMembers (e.g. "\"admin\": [1]") is inserted as further members.
std::string minimalConfig(int port, int writeIntervalMs = 10000,
                          const std::string& extraMembers = "");

// Sets what in-process handler tests run with from a config.json text, the
// way start-up does (loadConfigurationText): the request handlers' settings
// (apiSettings) and the administrator list the storage checks. A text that
// does not parse (e.g. "") clears them. Returns whether the text parsed.
// Only while no request is being handled.
bool useConfiguration(const std::string& configText);

// Path of the built node executable.
std::string nodeBinary();

// A resource limit (RLIMIT_FSIZE, RLIMIT_NOFILE, ...) set in the node's
// process before it starts, as a shell's ulimit would.
struct NodeLimit {
  int resource;
  unsigned long long soft;
  unsigned long long hard;
};

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs the node in dir with stdinText on its standard input until it exits
// (killed after timeoutMs).
ProcessResult runNodeToExit(const std::string& dir, const std::string& stdinText = "",
                            int timeoutMs = 20000, const std::vector<NodeLimit>& limits = {});

// Runs the node in dir with stdinText on its standard input (then closed)
// until it exits or prints its "Listening on 0.0.0.0:" line; a node that got
// there is then SIGKILLed (exitStatus 128 + 9). out and err hold all it printed.
ProcessResult runNodeUntilListening(const std::string& dir, const std::string& stdinText,
                                    int timeoutMs = 20000);

// A node running in the background.
struct NodeProcess {
  pid_t pid = -1;
  int port = 0;
  int stdoutFd = -1;  // the rest of standard output, readable after startNode
  std::string dir;
  std::string outSoFar;
  NodeProcess() = default;
  ~NodeProcess();  // SIGKILLs a node still running
  NodeProcess(const NodeProcess&) = delete;
  NodeProcess& operator=(const NodeProcess&) = delete;
};

// Starts the node in dir (config.json must be there) and waits until it
// prints its "Listening on 0.0.0.0:" line. Returns false when it exits first
// or does not get there within timeoutMs.
bool startNode(NodeProcess& node, const std::string& dir, int port, int timeoutMs = 20000,
               const std::vector<NodeLimit>& limits = {});

// Like startNode, with stdinText written to the node's standard input, which
// is then closed (texts up to a pipe's capacity, 64 KiB).
bool startNodeWithInput(NodeProcess& node, const std::string& dir, int port,
                        const std::string& stdinText, int timeoutMs = 20000);

// Sends sig and waits for the exit; returns the exit code, or 128 + signal.
int stopNode(NodeProcess& node, int sig, int timeoutMs = 20000);

// A connected loopback client socket to 127.0.0.1:port, or -1. A
// receiveBufferBytes above 0 sets its receive buffer (SO_RCVBUF) before
// connecting, to make a slow reader.
int connectTo(int port, int receiveBufferBytes = 0);

// Sends all of bytes on fd; stops early when the peer has closed (no SIGPIPE).
void sendBytes(int fd, const std::string& bytes);

// Reads fd until the peer closes it (end of stream or reset), at most
// timeoutMs in all; returns the bytes received. Leaves fd open.
std::string receiveUntilClosed(int fd, int timeoutMs = 10000);

// Connects to 127.0.0.1:port, sends bytes, reads until the server closes.
// Returns the bytes received; "" when the connection failed.
std::string sendRaw(int port, const std::string& bytes, int timeoutMs = 10000);

// The names in directory dir but "." and "..", in the order the directory
// lists them; none when dir cannot be opened.
std::vector<std::string> directoryEntries(const std::string& dir);

// The regular files below dir/root (a stored uploads tree), as paths
// relative to dir; none when dir/root does not exist.
std::vector<std::string> storedFiles(const std::string& dir, const std::string& root);

// A user record of a seeded database.
struct SeedUser {
  std::string sid;
  std::string nickname;
  std::string avatar = {};
  std::string avatarHash = {};
};

// The text (unformatted JSON) of a database holding news item 1 (title "t",
// content "c", by user 1, never viewed, no comments or likes) with images
// (its cover the first, "" when none), users numbered from 1 in order
// (user_maxid their count) and no likes.
std::string seedDatabaseText(const std::vector<SeedUser>& users,
                             const std::vector<std::string>& images = {});

// size bytes drawn from a generator seeded with seed: the same bytes for the
// same seed.
std::string randomBytes(std::size_t size, unsigned seed);

// item printed as unformatted JSON; "" when it cannot be printed.
std::string printedJson(const cJSON* item);

// A plain GET request text for path.
std::string getRequest(const std::string& path);

// A POST request text as curl sends it: Host, User-Agent, Accept,
// Content-Length (of body) and Content-Type, then body.
std::string postRequest(const std::string& path, const std::string& contentType,
                        const std::string& body);

// One part of a multipart/form-data body: a text field, or a file part
// (with a filename and Content-Type: application/octet-stream) when filename
// is not empty or file is set.
struct MultipartField {
  std::string name;
  std::string data;
  std::string filename = {};
  bool file = false;
};

// The boundary multipartRequest uses, in curl's shape.
constexpr const char* kMultipartBoundary = "------------------------58b3a13d606d050b";

// A multipart/form-data body of fields in order, each part ended by CR LF;
// closeDelimiter false leaves out the final "--boundary--" line.
std::string multipartBody(const std::vector<MultipartField>& fields,
                          const std::string& boundary = kMultipartBoundary,
                          bool closeDelimiter = true);

// A multipart POST of fields to path (postRequest with
// "multipart/form-data; boundary=<boundary>").
std::string multipartRequest(const std::string& path, const std::vector<MultipartField>& fields,
                             const std::string& boundary = kMultipartBoundary);

// What the client end of a socket pair received while a handler served the
// other end.
struct PairReply {
  std::string received;
  bool handlerEndClosed = false;  // the handler had closed its end when it returned
};

// Runs handler with one end of a connected socket pair while the client end
// reads what it sends, until the end of the stream or maxReplyBytes (then it
// hangs up, as a client would). request is queued on the client end, whose
// sending side is then shut down, before handler starts: its first receive
// brings all of it (up to 64 KiB), whatever the thread timing. With
// handlerCloses the handler owns its end (handlerEndClosed tells whether it
// closed it); otherwise the end is closed once handler returns.
PairReply serveOnSocketPair(const std::function<void(int)>& handler, const std::string& request,
                            std::size_t maxReplyBytes, bool handlerCloses);

// Runs handler with one end of a connected socket pair and returns every
// byte it sent before it returned (the other end is read concurrently).
std::string captureReply(const std::function<void(int)>& handler);

// Splits a raw reply at the blank line: the header block (with its final
// CR LF CR LF) and the body.
std::pair<std::string, std::string> splitReply(const std::string& reply);

// Runs a shell command, returning its standard output; exitStatus receives its status.
std::string runCommand(const std::string& command, int* exitStatus = nullptr);

// Runs body in a forked child whose address space is capped at its present
// size plus headroomBytes, so that thread stacks run out after a few threads.
// Returns the child's exit status: body's result, 3 when the cap cannot be
// set, 125 when body threw, 128 + signal number when a signal ended it, -1
// when there is no child. Builds with ONDRIX_SANITIZED cannot use it.
int runWithCappedAddressSpace(std::size_t headroomBytes, const std::function<int()>& body);

}  // namespace testsupport
