// zlib_codec_test.cpp -- the zlib format of data/index.ndb.
#include "storage/zlib_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>
#include <string>

#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

using testsupport::kEmptyDatabaseText;
using testsupport::largeDatabaseText;
using testsupport::randomBytes;

namespace {

// Deflates all of text through s, which the caller has set up, and ends s.
std::string deflateAll(z_stream& s, const std::string& text) {
  std::string out(deflateBound(&s, text.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  s.avail_in = static_cast<uInt>(text.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// A gzip stream (window bits 31) of text: same deflate data, other container.
std::string gzipOf(const std::string& text) {
  z_stream s{};
  deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  return deflateAll(s, text);
}

// A zlib stream that needs a preset dictionary to inflate.
std::string withDictionary(const std::string& text) {
  z_stream s{};
  deflateInit(&s, Z_DEFAULT_COMPRESSION);
  const char dict[] = "news_maxid user_maxid";
  deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dict), sizeof dict - 1);
  return deflateAll(s, text);
}

std::string errorOf(const std::string& input) {
  try {
    decompressString(input);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(DatabaseFormat, RoundTripsOfEveryShape) {
  struct {
    const char* desc;
    std::string input;
  } cases[] = {
      {"empty input", ""},
      {"text over 32 KiB", largeDatabaseText(2000)},
      {"compressed form over 32 KiB", randomBytes(200000, 1)},
      {"NUL bytes", std::string("a\0b\0\0c", 6)},
  };
  for (const auto& c : cases) {
    for (int level : {-1, 0, 9}) {
      std::string stream = compressString(c.input, level);
      EXPECT_EQ(decompressString(stream), c.input) << c.desc << " level " << level;
    }
  }
  EXPECT_GT(compressString(cases[2].input, -1).size(), 32768u);
  EXPECT_GT(cases[1].input.size(), 32768u);
}

TEST(DatabaseFormat, InputsHandedOverInPiecesComeBackWhole) {
  // The pieces path is what inputs of 4 GiB and more take; small pieces
  // exercise the same refills.
  std::string text = largeDatabaseText(300) + randomBytes(50000, 2);
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{70000}}) {
    std::string stream = zlibcodec_detail::compressInPieces(text, -1, piece);
    EXPECT_EQ(decompressString(stream), text) << "compressed in pieces of " << piece;
    EXPECT_EQ(zlibcodec_detail::decompressInPieces(compressString(text, -1), piece), text)
        << "inflated in pieces of " << piece;
  }
  EXPECT_EQ(errorOf(""), "Unexpected zlib error during decompression: -5");
  std::string cut = compressString(text, -1);
  cut.resize(cut.size() / 2);
  EXPECT_THROW(zlibcodec_detail::decompressInPieces(cut, 5), std::runtime_error);
}

TEST(DatabaseFormat, DamagedStreamsGiveTheirErrors) {
  std::string text = kEmptyDatabaseText;
  std::string good = compressString(text, -1);
  std::string badChecksum = good;
  badChecksum.back() = static_cast<char>(badChecksum.back() ^ 0x01);
  struct {
    const char* desc;
    std::string input;
    std::string message;
  } cases[] = {
      {"empty", "", "Unexpected zlib error during decompression: -5"},
      {"cut short", good.substr(0, good.size() - 5),
       "Unexpected zlib error during decompression: -5"},
      {"gzip container", gzipOf(text), "zlib decompression error: -3"},
      {"plain JSON text", text, "zlib decompression error: -3"},
      {"checksum flipped", badChecksum, "zlib decompression error: -3"},
      {"preset dictionary", withDictionary(text), "zlib decompression error: 2"},
      {"good stream", good, "(no error)"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.input), c.message) << c.desc;

  EXPECT_EQ(decompressString(good + "trailing bytes"), text);

  try {
    compressString(text, 42);
    ADD_FAILURE() << "level 42 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "deflateInit failed while compressing.");
  }
}
