// failing_allocator.h -- cJSON's allocations made to fail on demand
// (cJSON_InitHooks), for in-process tests of memory running out.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <cstdlib>

namespace robustness {

// While one lives, cJSON's allocation number failAt (counted from 0 at its
// construction) fails and every other one succeeds; the destructor puts
// malloc and free back. One at a time, while no other thread uses cJSON.
class FailingAllocation {
 public:
  explicit FailingAllocation(long failAt) {
    count().store(0);
    target().store(failAt);
    cJSON_Hooks hooks{&allocate, &release};
    cJSON_InitHooks(&hooks);
  }
  ~FailingAllocation() { cJSON_InitHooks(nullptr); }
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // Whether the allocation meant to fail was asked for.
  bool reached() const { return count().load() > target().load(); }

 private:
  static std::atomic<long>& count() {
    static std::atomic<long> made{0};
    return made;
  }
  static std::atomic<long>& target() {
    static std::atomic<long> failing{-1};
    return failing;
  }
  static void* allocate(size_t size) {
    return count().fetch_add(1) == target().load() ? nullptr : std::malloc(size);
  }
  static void release(void* pointer) { std::free(pointer); }
};

}  // namespace robustness
