// node_key.cpp -- the node key and the host's IPv4 addresses.
#include "node/node_key.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "node/sha256.h"

namespace {

constexpr int kHexDigitsPerAddress = 8;
constexpr size_t kNumericHostBytes = 1025;

bool inRange(uint32_t address, uint32_t first, uint32_t last) {
  return address >= first && address <= last;
}

constexpr uint32_t hostOrder(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

bool parseIPv4(const char* text, uint32_t* address) {
  in_addr parsed{};
  if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) return false;
  *address = ntohl(parsed.s_addr);
  return true;
}

}  // namespace

int listIPv4Addresses(char* slots[kAddressSlots]) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == -1) {
    perror("getifaddrs() error");
    return -1;
  }
  // Each address goes into the next empty slot; slots filled before stay.
  int next = 0;
  while (next < kAddressSlots && slots[next] != nullptr) ++next;
  for (ifaddrs* entry = list; entry != nullptr && next < kAddressSlots; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char buffer[kAddressTextBytes] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, buffer, sizeof buffer) == nullptr) continue;
    char* text = static_cast<char*>(calloc(kAddressTextBytes, 1));
    if (text == nullptr) break;
    memcpy(text, buffer, sizeof buffer);
    slots[next++] = text;
    while (next < kAddressSlots && slots[next] != nullptr) ++next;
  }
  freeifaddrs(list);
  return 0;
}

uint32_t ipv4ToHostOrder(const char* text) {
  uint32_t address = 0;
  return parseIPv4(text, &address) ? address : 0;
}

bool isValidIPv4(const char* text) {
  uint32_t address = 0;
  return parseIPv4(text, &address);
}

bool isReservedIPv4(uint32_t address) {
  return address == 0 || inRange(address, hostOrder(127, 0, 0, 0), hostOrder(127, 255, 255, 255)) ||
         address >= hostOrder(224, 0, 0, 0);
}

bool isPrivateIPv4(uint32_t address) {
  return inRange(address, hostOrder(10, 0, 0, 0), hostOrder(10, 255, 255, 255)) ||
         inRange(address, hostOrder(172, 16, 0, 0), hostOrder(172, 31, 255, 255)) ||
         inRange(address, hostOrder(192, 168, 0, 0), hostOrder(192, 168, 255, 255));
}

bool isLinkLocalIPv4(uint32_t address) {
  return inRange(address, hostOrder(169, 254, 0, 0), hostOrder(169, 254, 255, 255));
}

char* publicAddressesHex(const char* const* texts, int count) {
  const size_t entries = count > 0 ? static_cast<size_t>(count) : 0;
  char* hex = static_cast<char*>(calloc(entries * kHexDigitsPerAddress + 1, 1));
  if (hex == nullptr || entries == 0) return hex;
  size_t used = 0;
  for (size_t i = 0; i < entries && texts[i] != nullptr; ++i) {
    uint32_t address = 0;
    if (!parseIPv4(texts[i], &address)) continue;
    if (isReservedIPv4(address) || isLinkLocalIPv4(address)) continue;
    snprintf(hex + used, kHexDigitsPerAddress + 1, "%08x", static_cast<unsigned>(address));
    used += kHexDigitsPerAddress;
  }
  return hex;
}

char* firstNonLoopbackIPv4() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == -1) {
    perror("getifaddrs");
    return nullptr;
  }
  char* text = nullptr;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    printf("ifa->ifa_name: %s\n", entry->ifa_name);
    if (strcmp(entry->ifa_name, "lo") == 0 || entry->ifa_addr->sa_family != AF_INET) continue;
    text = static_cast<char*>(malloc(kNumericHostBytes));
    if (text != nullptr && getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), text,
                                       kNumericHostBytes, nullptr, 0, NI_NUMERICHOST) != 0) {
      free(text);
      text = nullptr;
    }
    break;
  }
  freeifaddrs(list);
  return text;
}

std::string nodeKeySeed(long long now, char* const slots[kAddressSlots]) {
  std::string seed = std::to_string(now);
  for (int i = 0; i < kAddressSlots && slots[i] != nullptr; ++i) seed += slots[i];
  return seed;
}

std::string makeNodeKey() {
  char* slots[kAddressSlots] = {};
  listIPv4Addresses(slots);  // on failure the slots stay empty: the seed is the time alone
  const std::string seed = nodeKeySeed(static_cast<long long>(time(nullptr)), slots);
  for (char* slot : slots) free(slot);

  unsigned char digest[kSha256DigestBytes];
  sha256Digest(digest, reinterpret_cast<const unsigned char*>(seed.data()), seed.size());
  char* hex = digestToHex(digest);
  if (hex == nullptr) return std::string();
  std::string key = hex;
  free(hex);
  return key;
}
