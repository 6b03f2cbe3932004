// file_sends.cpp -- one part of a file sent by sendfile.
#include "http/file_sends.h"

#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Where a socket takes no sendfile, file bodies go out in reads of this size.
constexpr std::size_t kFileChunk = 64 * 1024;
// The most one sendfile call is asked to send.
constexpr std::size_t kSendfileChunk = 1 << 20;

}  // namespace

FilePart sendFilePart(int socket, int fd, off_t& offset, off_t end, bool wait,
                      BrokenPipeGuard& guard) {
  if (offset >= end) return FilePart::kEnd;
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<off_t>(end - offset, static_cast<off_t>(kSendfileChunk)));
  ssize_t sent = sendfile(socket, fd, &offset, wanted);
  if (sent > 0) return FilePart::kSent;
  if (sent == 0) return FilePart::kEnd;
  if (errno == EINTR) return FilePart::kSent;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return FilePart::kBlocked;
  if (errno == EPIPE) guard.broken = true;
  if (errno != EINVAL && errno != ENOSYS) return FilePart::kFailed;
  // The socket takes no sendfile: read and send the same bytes.
  char buffer[kFileChunk];
  ssize_t read = pread(fd, buffer, std::min(sizeof buffer, wanted), offset);
  if (read < 0) return errno == EINTR ? FilePart::kSent : FilePart::kFailed;
  if (read == 0) return FilePart::kEnd;
  ssize_t n = ::send(socket, buffer, static_cast<std::size_t>(read),
                     MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
  if (n > 0) {
    offset += n;
    return FilePart::kSent;
  }
  if (n < 0 && errno == EINTR) return FilePart::kSent;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return FilePart::kBlocked;
  return FilePart::kFailed;
}
