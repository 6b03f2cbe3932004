// database.cpp -- the database tree, its handles, counters and lock.
#include "storage/database.h"

cJSON* databaseRoot = nullptr;
cJSON* newsArray = nullptr;
cJSON* newsDetailArray = nullptr;
cJSON* userArray = nullptr;
cJSON* likeArray = nullptr;

int news_maxid = 0;
int user_maxid = 0;
int like_maxid = 0;

std::mutex databaseMutex;

bool raiseCounter(int& counter) {
  if (counter >= kMaxCounterValue) return false;
  ++counter;
  return true;
}
