// request_buffer.h -- the buffer one request's bytes arrive in.
#pragma once

#include <cstddef>
#include <string_view>

// A request buffer of this size or more is mapped on its own, aligned to
// kHugePageBytes, and the kernel is asked to back it with huge pages: a
// 60 MiB upload then costs some 30 page faults instead of 15,000.
constexpr std::size_t kHugeBufferBytes = 4u << 20;
constexpr std::size_t kHugePageBytes = 2u << 20;

// The bytes of one request, in one allocation whose new bytes are left
// uninitialised: a receive writes into spare() and adds what it wrote, so
// each byte is copied once, from the socket into its place. Moving it moves
// the allocation; the moved-from buffer is empty.
class RequestBuffer {
 public:
  RequestBuffer() = default;
  ~RequestBuffer();
  RequestBuffer(RequestBuffer&& other) noexcept;
  RequestBuffer& operator=(RequestBuffer&& other) noexcept;
  RequestBuffer(const RequestBuffer&) = delete;
  RequestBuffer& operator=(const RequestBuffer&) = delete;

  std::string_view view() const { return {bytes, held}; }
  std::size_t size() const { return held; }
  bool empty() const { return held == 0; }
  // Makes room for capacity bytes in all (never less than it holds), what it
  // holds kept. Throws std::bad_alloc, the buffer unchanged.
  void reserve(std::size_t capacity);
  // Appends count bytes, growing as a string does. Throws std::bad_alloc,
  // the buffer unchanged.
  void append(const char* data, std::size_t count);
  // The room after the bytes held, spareBytes() long; added(n) counts the
  // first n of them as held.
  char* spare() { return bytes + held; }
  std::size_t spareBytes() const { return room - held; }
  void added(std::size_t count) { held += count; }

 private:
  void release();

  char* bytes = nullptr;
  std::size_t held = 0;
  std::size_t room = 0;
  bool mapped = false;  // bytes is a mapping of its own (munmap), else malloc's
};
