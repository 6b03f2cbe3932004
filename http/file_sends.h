// file_sends.h -- a file's bytes sent by sendfile, one part at a time, with
// its SIGPIPE guard: the step that sendFileContents and continueReply share.
#pragma once

#include <signal.h>
#include <sys/types.h>

// Blocks SIGPIPE on the calling thread from its first file send on (sendfile
// has no MSG_NOSIGNAL), and takes back one that a send raised meanwhile. The
// block stays: set and lifted around every file it would cost three system
// calls per reply.
struct BrokenPipeGuard {
  sigset_t pipeOnly;
  bool broken = false;
  BrokenPipeGuard() {
    thread_local bool blocked = false;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    if (!blocked) {
      blocked = pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr) == 0;
    }
  }
  ~BrokenPipeGuard() {
    if (broken) {
      const timespec noWait{0, 0};
      sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
  }
  BrokenPipeGuard(const BrokenPipeGuard&) = delete;
  BrokenPipeGuard& operator=(const BrokenPipeGuard&) = delete;
};

enum class FilePart { kSent, kEnd, kBlocked, kFailed };

// Sends the next part of file fd from offset (advanced by what left) up to
// end: kEnd once offset has reached end or the file ends sooner. On a
// blocking socket kBlocked means its send time-out ran out.
FilePart sendFilePart(int socket, int fd, off_t& offset, off_t end, bool wait,
                      BrokenPipeGuard& guard);
