// sha256.h -- SHA-256 (FIPS 180-4) and the hexadecimal form of a digest.
// No state is kept; every routine may run on any thread.
#pragma once

#include <cstddef>

constexpr size_t kSha256DigestBytes = 32;
constexpr size_t kSha256HexBytes = 2 * kSha256DigestBytes + 1;  // 64 digits and a zero byte

// Writes the SHA-256 digest of length bytes at data (any length, zero
// included) to out, which has room for kSha256DigestBytes bytes. The digest
// is the eight words of the final hash value, each most significant byte first.
void sha256Digest(unsigned char* out, const unsigned char* data, size_t length);

// The 32-byte digest as 64 lowercase hexadecimal characters and a zero byte,
// in a new buffer from malloc that the caller releases with free; null when
// the buffer cannot be allocated.
char* digestToHex(const unsigned char* digest);

// Nothing in the node calls this.

// Prints the 64 hexadecimal characters of the digest and a line feed on
// standard output.
void printDigestHex(const unsigned char* digest);
