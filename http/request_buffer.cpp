// request_buffer.cpp -- the buffer one request's bytes arrive in.
#include "http/request_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::size_t roundUp(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// length bytes (a multiple of kHugePageBytes) mapped at a kHugePageBytes
// boundary, so that the kernel can back every bit of them with huge pages.
// Throws std::bad_alloc.
char* mapHugePages(std::size_t length) {
  void* mapped = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = roundUp(start, kHugePageBytes);
  // The mapping was one huge page longer than asked: what lies before the
  // boundary and after the length goes back.
  if (aligned > start) munmap(mapped, aligned - start);
  const std::uintptr_t end = start + length + kHugePageBytes;
  if (end > aligned + length)
    munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  char* bytes = reinterpret_cast<char*>(aligned);
  // Only a hint: without huge pages the buffer works all the same.
  madvise(bytes, length, MADV_HUGEPAGE);
  return bytes;
}

}  // namespace

RequestBuffer::~RequestBuffer() { release(); }

RequestBuffer::RequestBuffer(RequestBuffer&& other) noexcept
    : bytes(other.bytes), held(other.held), room(other.room), mapped(other.mapped) {
  other.bytes = nullptr;
  other.held = 0;
  other.room = 0;
  other.mapped = false;
}

RequestBuffer& RequestBuffer::operator=(RequestBuffer&& other) noexcept {
  if (this != &other) {
    release();
    std::swap(bytes, other.bytes);
    std::swap(held, other.held);
    std::swap(room, other.room);
    std::swap(mapped, other.mapped);
  }
  return *this;
}

void RequestBuffer::release() {
  if (bytes != nullptr) {
    if (mapped) {
      munmap(bytes, room);
    } else {
      std::free(bytes);
    }
  }
  bytes = nullptr;
  held = 0;
  room = 0;
  mapped = false;
}

void RequestBuffer::reserve(std::size_t capacity) {
  if (capacity <= room) return;
  if (capacity < kHugeBufferBytes && !mapped) {
    // Left uninitialised, as malloc's are: the receives fill it.
    void* grown = std::realloc(bytes, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    bytes = static_cast<char*>(grown);
    room = capacity;
    return;
  }
  const std::size_t length = roundUp(capacity, kHugePageBytes);
  char* moved = mapHugePages(length);
  if (held > 0) std::memcpy(moved, bytes, held);
  const std::size_t kept = held;
  release();
  bytes = moved;
  held = kept;
  room = length;
  mapped = true;
}

void RequestBuffer::append(const char* data, std::size_t count) {
  if (count > room - held) reserve(std::max(held + count, 2 * room));
  std::memcpy(bytes + held, data, count);
  held += count;
}
