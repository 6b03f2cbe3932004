// sha256.cpp -- SHA-256 as FIPS 180-4 defines it, over one whole message.
#include "node/sha256.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kBlockBytes = 64;
// The message length is appended as a 64-bit big-endian count of bits.
constexpr size_t kLengthBytes = 8;

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

uint32_t loadBigEndian(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void processBlock(uint32_t hash[8], const unsigned char* block) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(block + 4 * t);
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
  uint32_t e = hash[4], f = hash[5], g = hash[6], h = hash[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t sum1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
    const uint32_t choose = (e & f) ^ (~e & g);
    const uint32_t t1 = h + sum1 + choose + kRoundConstants[t] + w[t];
    const uint32_t sum0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
  hash[5] += f;
  hash[6] += g;
  hash[7] += h;
}

}  // namespace

void sha256Digest(unsigned char* out, const unsigned char* data, size_t length) {
  uint32_t hash[8];
  for (int i = 0; i < 8; ++i) hash[i] = kInitialHash[i];

  size_t whole = length - length % kBlockBytes;
  for (size_t offset = 0; offset < whole; offset += kBlockBytes) processBlock(hash, data + offset);

  // Padding: the remaining bytes, a 1 bit, zeros, and the length in bits,
  // filling one block, or two when fewer than 9 bytes are left in the first.
  unsigned char tail[2 * kBlockBytes] = {};
  const size_t rest = length - whole;
  for (size_t i = 0; i < rest; ++i) tail[i] = data[whole + i];
  tail[rest] = 0x80;
  const size_t tailBytes = rest + 1 + kLengthBytes <= kBlockBytes ? kBlockBytes : 2 * kBlockBytes;
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (size_t i = 0; i < kLengthBytes; ++i) {
    tail[tailBytes - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  }
  for (size_t offset = 0; offset < tailBytes; offset += kBlockBytes) {
    processBlock(hash, tail + offset);
  }

  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<unsigned char>(hash[i] >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(hash[i] >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(hash[i] >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(hash[i]);
  }
}

char* digestToHex(const unsigned char* digest) {
  char* hex = static_cast<char*>(malloc(kSha256HexBytes));
  if (hex == nullptr) return nullptr;
  for (size_t i = 0; i < kSha256DigestBytes; ++i) {
    snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(digest[i]));
  }
  hex[kSha256HexBytes - 1] = '\0';
  return hex;
}

void printDigestHex(const unsigned char* digest) {
  for (size_t i = 0; i < kSha256DigestBytes; ++i) printf("%02x", static_cast<unsigned>(digest[i]));
  putchar('\n');
}
