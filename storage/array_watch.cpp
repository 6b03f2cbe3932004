// array_watch.cpp -- stamps and ends of watched arrays.
#include "storage/array_watch.h"

namespace {

const cJSON* lastElement(const cJSON* array) {
  return array != nullptr && array->child != nullptr ? array->child->prev : nullptr;
}

// Shared by every index: two indexes never give the same stamp.
double nextStamp GUARDED_BY(databaseMutex) = 0;

}  // namespace

bool arrayUnchanged(const ArrayWatch& watch, const cJSON* array) {
  return watch.array == array && (array == nullptr || array->valuedouble == watch.stamp) &&
         watch.first == (array != nullptr ? array->child : nullptr) &&
         watch.last == lastElement(array);
}

void watchArray(ArrayWatch& watch, cJSON* array) {
  watch.array = array;
  watch.stamp = ++nextStamp;
  if (array != nullptr) array->valuedouble = watch.stamp;
  noteArrayEnds(watch, array);
}

void noteArrayEnds(ArrayWatch& watch, const cJSON* array) {
  watch.first = array != nullptr ? array->child : nullptr;
  watch.last = lastElement(array);
}
