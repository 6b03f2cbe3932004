// node_key_test.cpp -- the node key and the IPv4 address operations. The
// host's interface list is replaced by a scripted one where a case needs a
// host it cannot count on (twelve addresses, a failing listing, only "lo").
#include "node/node_key.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "node/sha256.h"

namespace {

// One entry of a scripted interface list; family 0 means no address.
struct FakeInterface {
  std::string name;
  int family;
  std::string address;
};

enum class ListMode { Real, Fail, Scripted };
ListMode listMode = ListMode::Real;
std::vector<FakeInterface> scripted;

// Storage of the scripted list handed out by getifaddrs below.
std::deque<ifaddrs> fakeEntries;
std::deque<sockaddr_storage> fakeAddresses;
std::deque<std::string> fakeNames;

ifaddrs* buildScriptedList() {
  fakeEntries.clear();
  fakeAddresses.clear();
  fakeNames.clear();
  ifaddrs* previous = nullptr;
  for (const FakeInterface& f : scripted) {
    fakeEntries.emplace_back();
    ifaddrs& entry = fakeEntries.back();
    memset(&entry, 0, sizeof entry);
    fakeNames.push_back(f.name);
    entry.ifa_name = const_cast<char*>(fakeNames.back().c_str());
    if (f.family != 0) {
      fakeAddresses.emplace_back();
      sockaddr_storage& storage = fakeAddresses.back();
      memset(&storage, 0, sizeof storage);
      if (f.family == AF_INET) {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        inet_pton(AF_INET, f.address.c_str(), &in4->sin_addr);
      } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, f.address.c_str(), &in6->sin6_addr);
      }
      entry.ifa_addr = reinterpret_cast<sockaddr*>(&storage);
    }
    if (previous != nullptr) previous->ifa_next = &entry;
    previous = &entry;
  }
  return fakeEntries.empty() ? nullptr : &fakeEntries.front();
}

struct ScriptedList {
  ScriptedList(ListMode mode, std::vector<FakeInterface> list) {
    listMode = mode;
    scripted = std::move(list);
  }
  ~ScriptedList() { listMode = ListMode::Real; }
};

}  // namespace

// The program's own getifaddrs and freeifaddrs come before the C library's.
extern "C" int getifaddrs(ifaddrs** list) {
  if (listMode == ListMode::Fail) {
    errno = ENOMEM;
    return -1;
  }
  if (listMode == ListMode::Scripted) {
    *list = buildScriptedList();
    return 0;
  }
  using Real = int (*)(ifaddrs**);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getifaddrs"));
  return real(list);
}

extern "C" void freeifaddrs(ifaddrs* list) {
  if (!fakeEntries.empty() && list == &fakeEntries.front()) return;
  if (list == nullptr) return;
  using Real = void (*)(ifaddrs*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "freeifaddrs"));
  real(list);
}

namespace {

std::string keyOf(const std::string& seed) {
  unsigned char digest[kSha256DigestBytes];
  sha256Digest(digest, reinterpret_cast<const unsigned char*>(seed.data()), seed.size());
  char* hex = digestToHex(digest);
  std::string key = hex;
  free(hex);
  return key;
}

void freeSlots(char* slots[kAddressSlots]) {
  for (int i = 0; i < kAddressSlots; ++i) free(slots[i]);
}

TEST(NodeKeyTest, HostOrderAndValidity) {
  struct {
    const char* text;
    bool valid;
    uint32_t address;
  } cases[] = {
      {"1.2.3.4", true, 0x01020304u},
      {"255.255.255.255", true, 0xffffffffu},
      {"0.0.0.0", true, 0},
      {"1.2.3", false, 0},
      {"256.1.1.1", false, 0},
      {" 1.2.3.4", false, 0},
      {"1.2.3.4 ", false, 0},
      {"::1", false, 0},
      {"", false, 0},
      {"x", false, 0},
      {"192.0.2.7", true, 0xc0000207u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidIPv4(c.text), c.valid) << c.text;
    EXPECT_EQ(ipv4ToHostOrder(c.text), c.address) << c.text;
  }
}

TEST(NodeKeyTest, RangeTests) {
  struct {
    const char* text;
    bool reserved, privateRange, linkLocal;
  } cases[] = {
      {"0.0.0.0", true, false, false},          {"0.0.0.1", false, false, false},
      {"0.255.255.255", false, false, false},   {"126.255.255.255", false, false, false},
      {"127.0.0.0", true, false, false},        {"127.0.0.1", true, false, false},
      {"127.255.255.255", true, false, false},  {"128.0.0.0", false, false, false},
      {"223.255.255.255", false, false, false}, {"224.0.0.0", true, false, false},
      {"255.255.255.255", true, false, false},  {"9.255.255.255", false, false, false},
      {"10.0.0.0", false, true, false},         {"10.255.255.255", false, true, false},
      {"11.0.0.0", false, false, false},        {"172.15.255.255", false, false, false},
      {"172.16.0.0", false, true, false},       {"172.31.255.255", false, true, false},
      {"172.32.0.0", false, false, false},      {"192.167.255.255", false, false, false},
      {"192.168.0.0", false, true, false},      {"192.168.255.255", false, true, false},
      {"192.169.0.0", false, false, false},     {"169.253.255.255", false, false, false},
      {"169.254.0.0", false, false, true},      {"169.254.255.255", false, false, true},
      {"169.255.0.0", false, false, false},     {"203.0.113.5", false, false, false},
  };
  for (const auto& c : cases) {
    const uint32_t address = ipv4ToHostOrder(c.text);
    EXPECT_EQ(isReservedIPv4(address), c.reserved) << c.text;
    EXPECT_EQ(isPrivateIPv4(address), c.privateRange) << c.text;
    EXPECT_EQ(isLinkLocalIPv4(address), c.linkLocal) << c.text;
  }
}

TEST(NodeKeyTest, PublicAddressesHex) {
  const char* five[] = {"203.0.113.5", "127.0.0.1", "10.1.2.3", "x", "169.254.1.1"};
  const char* gap[] = {"203.0.113.5", nullptr, "10.1.2.3"};
  const char* reservedOnly[] = {"0.0.0.0", "224.1.1.1"};
  struct {
    const char* desc;
    const char* const* texts;
    int count;
    std::string want;
  } cases[] = {
      {"mixed", five, 5, "cb0071050a010203"},
      {"count 0", five, 0, ""},
      {"count -3", five, -3, ""},
      {"first two only", five, 2, "cb007105"},
      {"empty entry ends the list", gap, 3, "cb007105"},
      {"nothing kept", reservedOnly, 2, ""},
      {"private address first", five + 2, 1, "0a010203"},
  };
  for (const auto& c : cases) {
    char* hex = publicAddressesHex(c.texts, c.count);
    ASSERT_NE(hex, nullptr) << c.desc;
    EXPECT_EQ(std::string(hex), c.want) << c.desc;
    free(hex);
  }
}

TEST(NodeKeyTest, ListingTakesEveryIPv4AddressOfTheHost) {
  char* slots[kAddressSlots] = {};
  ASSERT_EQ(listIPv4Addresses(slots), 0);
  bool loopback = false;
  int filled = 0;
  while (filled < kAddressSlots && slots[filled] != nullptr) {
    EXPECT_TRUE(isValidIPv4(slots[filled])) << slots[filled];
    for (size_t i = strlen(slots[filled]); i < kAddressTextBytes; ++i) {
      EXPECT_EQ(slots[filled][i], '\0');
    }
    if (strcmp(slots[filled], "127.0.0.1") == 0) loopback = true;
    ++filled;
  }
  for (int i = filled; i < kAddressSlots; ++i) EXPECT_EQ(slots[i], nullptr);
  EXPECT_TRUE(loopback) << "the loopback address is listed too";
  freeSlots(slots);
}

TEST(NodeKeyTest, ListingStopsAtTenAddressesAndSkipsOtherFamilies) {
  std::vector<FakeInterface> list = {{"lo", AF_INET6, "::1"}, {"tun0", 0, ""}};
  for (int i = 1; i <= 12; ++i) {
    list.push_back({"eth" + std::to_string(i), AF_INET, "192.0.2." + std::to_string(i)});
  }
  ScriptedList fake(ListMode::Scripted, list);
  char* slots[kAddressSlots] = {};
  ASSERT_EQ(listIPv4Addresses(slots), 0);
  for (int i = 0; i < kAddressSlots; ++i) {
    ASSERT_NE(slots[i], nullptr);
    EXPECT_EQ(std::string(slots[i]), "192.0.2." + std::to_string(i + 1));
  }
  EXPECT_EQ(nodeKeySeed(1700000000, slots),
            "1700000000192.0.2.1192.0.2.2192.0.2.3192.0.2.4192.0.2.5192.0.2.6192.0.2.7192.0.2."
            "8192.0.2.9192.0.2.10");
  freeSlots(slots);
}

// Slots already filled stay: each address goes into the next empty one.
TEST(NodeKeyTest, ListingFillsOnlyTheEmptySlots) {
  std::vector<FakeInterface> list;
  for (int i = 1; i <= 12; ++i) {
    list.push_back({"eth" + std::to_string(i), AF_INET, "192.0.2." + std::to_string(i)});
  }
  ScriptedList fake(ListMode::Scripted, list);
  char* slots[kAddressSlots] = {};
  slots[0] = strdup("198.51.100.1");
  slots[2] = strdup("198.51.100.3");
  ASSERT_EQ(listIPv4Addresses(slots), 0);
  const char* expected[kAddressSlots] = {"198.51.100.1", "192.0.2.1", "198.51.100.3", "192.0.2.2",
                                         "192.0.2.3",    "192.0.2.4", "192.0.2.5",    "192.0.2.6",
                                         "192.0.2.7",    "192.0.2.8"};
  for (int i = 0; i < kAddressSlots; ++i) {
    ASSERT_NE(slots[i], nullptr) << i;
    EXPECT_STREQ(slots[i], expected[i]) << i;
  }
  freeSlots(slots);
}

TEST(NodeKeyTest, SeedStopsAtTheFirstEmptySlot) {
  char first[] = "127.0.0.1";
  char third[] = "192.0.2.3";
  char* slots[kAddressSlots] = {first, nullptr, third};
  EXPECT_EQ(nodeKeySeed(1765000000, slots), "1765000000127.0.0.1");
  char* none[kAddressSlots] = {};
  EXPECT_EQ(nodeKeySeed(42, none), "42");
}

// The key is the digest of the time at the moment it was made and the
// host's addresses; the time is bracketed by readings before and after.
void expectKeyFromSeed(const std::string& addresses) {
  const long long before = time(nullptr);
  const std::string key = makeNodeKey();
  const long long after = time(nullptr);
  ASSERT_EQ(key.size(), 64u);
  bool matched = false;
  for (long long t = before; t <= after; ++t) {
    if (key == keyOf(std::to_string(t) + addresses)) matched = true;
  }
  EXPECT_TRUE(matched) << key;
}

TEST(NodeKeyTest, KeyIsTheDigestOfTimeAndAddresses) {
  {
    ScriptedList fake(ListMode::Scripted, {{"lo", AF_INET, "127.0.0.1"}});
    expectKeyFromSeed("127.0.0.1");
  }
  {
    ScriptedList fake(
        ListMode::Scripted,
        {{"lo", AF_INET, "127.0.0.1"}, {"lo", AF_INET6, "::1"}, {"eth0", AF_INET, "192.0.2.2"}});
    expectKeyFromSeed("127.0.0.1192.0.2.2");
  }
}

TEST(NodeKeyTest, FailedListingIsReportedAndLeavesTheTimeAlone) {
  ScriptedList fake(ListMode::Fail, {});
  char* slots[kAddressSlots] = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(listIPv4Addresses(slots), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("getifaddrs() error: ") + strerror(ENOMEM) + "\n");
  for (char* slot : slots) EXPECT_EQ(slot, nullptr);

  testing::internal::CaptureStderr();
  expectKeyFromSeed("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("getifaddrs() error: ") + strerror(ENOMEM) + "\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(firstNonLoopbackIPv4(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("getifaddrs: ") + strerror(ENOMEM) + "\n");
}

TEST(NodeKeyTest, FirstNonLoopbackAddress) {
  struct {
    const char* desc;
    std::vector<FakeInterface> list;
    std::string printed;
    const char* want;
  } cases[] = {
      {"only lo",
       {{"lo", AF_INET, "127.0.0.1"}, {"lo", AF_INET6, "::1"}, {"dummy", 0, ""}},
       "ifa->ifa_name: lo\nifa->ifa_name: lo\n",
       nullptr},
      {"first other IPv4 entry",
       {{"lo", AF_INET, "127.0.0.1"},
        {"tun0", 0, ""},
        {"eth0", AF_INET6, "2001:db8::1"},
        {"eth0", AF_INET, "192.0.2.2"},
        {"eth1", AF_INET, "198.51.100.1"}},
       "ifa->ifa_name: lo\nifa->ifa_name: eth0\nifa->ifa_name: eth0\n",
       "192.0.2.2"},
      {"a name beginning with lo is not the loopback",
       {{"lo0", AF_INET, "127.0.0.2"}},
       "ifa->ifa_name: lo0\n",
       "127.0.0.2"},
      {"no interfaces", {}, "", nullptr},
  };
  for (const auto& c : cases) {
    ScriptedList fake(ListMode::Scripted, c.list);
    testing::internal::CaptureStdout();
    char* address = firstNonLoopbackIPv4();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.desc;
    if (c.want == nullptr) {
      EXPECT_EQ(address, nullptr) << c.desc;
    } else {
      ASSERT_NE(address, nullptr) << c.desc;
      EXPECT_EQ(std::string(address), c.want) << c.desc;
    }
    free(address);
  }
}

}  // namespace
