// gen_node_main.cpp -- ondrix-bench-gen: writes a node working directory with a
// generated database, for the end-to-end benchmark script.
// Usage: ondrix-bench-gen DIR NEWS_COUNT PORT
// Prints the shape of the database as key=value lines on standard output.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_database.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s DIR NEWS_COUNT PORT\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  int newsCount = std::atoi(argv[2]);
  int port = std::atoi(argv[3]);
  if (newsCount < 1 || port < 1) {
    std::fprintf(stderr, "NEWS_COUNT and PORT must be positive\n");
    return 2;
  }
  if (!writeBenchNodeDirectory(dir, newsCount, port)) return 1;
  BenchShape shape = benchShape(newsCount);
  std::printf(
      "news=%d\nusers=%d\nlikes=%d\noldest=%d\nnewest=%d\nupload=%s\nliker=%d\nliker_sid=%s\n",
      shape.newsCount, shape.userCount, shape.likeCount, shape.oldestNewsId, shape.newestNewsId,
      shape.uploadPath.c_str(), shape.likerId, shape.likerSid.c_str());
  return 0;
}
