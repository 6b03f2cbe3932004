// node_key.h -- the node key "sercut_key" and the host's IPv4 addresses:
// interface listing, dotted-decimal parsing, range tests, hexadecimal lists.
// No state is kept; every text returned belongs to the caller (free it).
#pragma once

#include <cstdint>
#include <string>

constexpr int kAddressSlots = 10;
constexpr int kAddressTextBytes = 16;  // dotted-decimal, at most 15 characters and a zero byte

// Fills the empty (null) slots from the first on with the host's IPv4
// interface addresses, in the platform's order, the loopback's included;
// each slot gets a new zero-filled text of kAddressTextBytes bytes from
// calloc. Addresses past the tenth are passed over. Returns 0, or -1 with no
// slot filled when the interface list cannot be read (reported by perror).
int listIPv4Addresses(char* slots[kAddressSlots]);

// The seed of the node key: now in decimal followed directly by the text of
// each filled slot in slot order, up to the first empty slot.
std::string nodeKeySeed(long long now, char* const slots[kAddressSlots]);

// A new node key: the SHA-256 digest, as 64 lowercase hexadecimal
// characters, of the seed made of the current Unix time and the host's IPv4
// addresses. Empty when the hexadecimal text cannot be allocated.
std::string makeNodeKey();

// Nothing in the node calls the routines below.

// The address in host order (a.b.c.d is a << 24 | b << 16 | c << 8 | d);
// 0 when text is not an IPv4 address in dotted-decimal form.
uint32_t ipv4ToHostOrder(const char* text);

// True when text is an IPv4 address in dotted-decimal form.
bool isValidIPv4(const char* text);

// Range tests on addresses in host order, bounds included.
bool isReservedIPv4(uint32_t address);   // 0.0.0.0, 127.0.0.0/8, 224.0.0.0/3
bool isPrivateIPv4(uint32_t address);    // 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16
bool isLinkLocalIPv4(uint32_t address);  // 169.254.0.0/16

// Eight lowercase hexadecimal digits for each of the first count texts that
// is an IPv4 address neither reserved nor link-local (private ones are kept);
// a null entry ends the list. A new text from calloc of count * 8 + 1 bytes,
// empty when count is 0 or less; null only when it cannot be allocated.
char* publicAddressesHex(const char* const* texts, int count);

// The numeric text of the first IPv4 address of an interface not named "lo",
// in a new buffer from malloc; null when there is none or the list cannot be
// read. Prints "ifa->ifa_name: " and the name of each interface entry with an
// address that it looks at on standard output.
char* firstNonLoopbackIPv4();
