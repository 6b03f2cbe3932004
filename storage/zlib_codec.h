// zlib_codec.h -- the zlib stream of the database file: compressString,
// decompressString and the deflate loop the save feeds piece by piece.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// deflate and inflate write their output into a buffer of this many bytes.
constexpr size_t kZlibChunkBytes = 32768;
// zlib counts its input in 32 bits: longer inputs are handed over in pieces.
constexpr size_t kZlibMaxPieceBytes = std::numeric_limits<uInt>::max();

// Feeds a zlib stream from input, at most pieceBytes at a time.
struct InputFeeder {
  const Bytef* next;
  size_t remaining;
  size_t pieceBytes;
  void feed(z_stream& stream) {
    if (stream.avail_in != 0 || remaining == 0) return;
    size_t piece = std::min(remaining, pieceBytes);
    stream.next_in = const_cast<Bytef*>(next);
    stream.avail_in = static_cast<uInt>(piece);
    next += piece;
    remaining -= piece;
  }
};

// One zlib stream being written: input is handed to deflate in pieces of at
// most pieceBytes, its output appended to result.
struct Deflater {
  z_stream stream{};
  std::unique_ptr<z_stream, int (*)(z_stream*)> end{nullptr, &deflateEnd};
  std::vector<Bytef> chunk = std::vector<Bytef>(kZlibChunkBytes, 0);
  std::string result;
  size_t pieceBytes;

  Deflater(int level, size_t piece) : pieceBytes(piece) {
    if (deflateInit(&stream, level) != Z_OK) {
      throw std::runtime_error("deflateInit failed while compressing.");
    }
    end.reset(&stream);
  }
  // zlib's state points back at stream: it stays where it was made.
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Deflates size bytes of data, then flush (Z_NO_FLUSH: more input follows;
  // Z_FINISH: the stream ends here).
  void add(const char* data, size_t size, int flush) {
    InputFeeder feeder{reinterpret_cast<const Bytef*>(data), size, pieceBytes};
    while (true) {
      feeder.feed(stream);
      stream.next_out = chunk.data();
      stream.avail_out = static_cast<uInt>(chunk.size());
      int code = deflate(&stream, feeder.remaining == 0 ? flush : Z_NO_FLUSH);
      if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) {
        throw std::runtime_error("deflate failed while compressing: " + std::to_string(code));
      }
      result.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
      if (code == Z_STREAM_END) return;
      // Without a finish, a call is done once its input is taken and the
      // output did not fill the chunk (nothing more is pending).
      if (flush == Z_NO_FLUSH && feeder.remaining == 0 && stream.avail_in == 0 &&
          stream.avail_out != 0) {
        return;
      }
    }
  }
};

// The zlib stream of input at the given zlib level (-1 for the default).
// Throws std::runtime_error "deflateInit failed while compressing." or
// "deflate failed while compressing: <code>".
std::string compressString(const std::string& input, int level);

// The inflated bytes of the one zlib stream at the start of input; bytes
// after the stream's end are ignored. Throws std::runtime_error
// "inflateInit failed while decompressing.", "zlib decompression error:
// <code>" (2, -3, -4) or "Unexpected zlib error during decompression: <code>".
std::string decompressString(const std::string& input);

namespace zlibcodec_detail {
// compressString and decompressString hand their input to zlib in pieces of
// at most pieceBytes (zlib counts input in 32 bits); exposed for the tests.
std::string compressInPieces(const std::string& input, int level, size_t pieceBytes);
std::string decompressInPieces(const std::string& input, size_t pieceBytes);
}  // namespace zlibcodec_detail
