// gen_node_main.cpp -- ondrix-bench-gen: writes a node working directory with a
// generated database, for the end-to-end benchmark script.
// Usage: ondrix-bench-gen DIR NEWS_COUNT PORT [USER_COUNT]
// Prints the shape of the database as key=value lines on standard output.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_database.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s DIR NEWS_COUNT PORT [USER_COUNT]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  int newsCount = std::atoi(argv[2]);
  int port = std::atoi(argv[3]);
  int userCount = argc == 5 ? std::atoi(argv[4]) : 0;  // 0: the default
  if (newsCount < 1 || port < 1 || userCount < 0) {
    std::fprintf(stderr, "NEWS_COUNT and PORT must be positive, USER_COUNT not negative\n");
    return 2;
  }
  if (!writeBenchNodeDirectory(dir, newsCount, port, userCount)) return 1;
  BenchShape shape = benchShape(newsCount, userCount);
  std::printf(
      "news=%d\nusers=%d\nlikes=%d\noldest=%d\nnewest=%d\nupload=%s\nliker=%d\nliker_sid=%s\n",
      shape.newsCount, shape.userCount, shape.likeCount, shape.oldestNewsId, shape.newestNewsId,
      shape.uploadPath.c_str(), shape.likerId, shape.likerSid.c_str());
  return 0;
}
