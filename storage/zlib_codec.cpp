// zlib_codec.cpp -- the deflate and inflate loops of compressString and
// decompressString.
#include "storage/zlib_codec.h"

namespace {

InputFeeder feederFor(const std::string& input, size_t pieceBytes) {
  pieceBytes = std::max<size_t>(1, std::min(pieceBytes, kZlibMaxPieceBytes));
  return InputFeeder{reinterpret_cast<const Bytef*>(input.data()), input.size(), pieceBytes};
}

}  // namespace

namespace zlibcodec_detail {

std::string compressInPieces(const std::string& input, int level, size_t pieceBytes) {
  Deflater deflater(level, feederFor(input, pieceBytes).pieceBytes);
  deflater.result.reserve(input.size() / 2 + 12);
  deflater.add(input.data(), input.size(), Z_FINISH);
  return std::move(deflater.result);
}

std::string decompressInPieces(const std::string& input, size_t pieceBytes) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    throw std::runtime_error("inflateInit failed while decompressing.");
  }
  std::unique_ptr<z_stream, int (*)(z_stream*)> end(&stream, &inflateEnd);
  std::string result;
  if (input.size() <= result.max_size() / 2) result.reserve(2 * input.size());
  std::vector<Bytef> chunk(kZlibChunkBytes, 0);
  InputFeeder feeder = feederFor(input, pieceBytes);
  while (true) {
    feeder.feed(stream);
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    int code = inflate(&stream, Z_NO_FLUSH);
    if (code == Z_NEED_DICT || code == Z_DATA_ERROR || code == Z_MEM_ERROR) {
      throw std::runtime_error("zlib decompression error: " + std::to_string(code));
    }
    if (code != Z_OK && code != Z_STREAM_END) {
      throw std::runtime_error("Unexpected zlib error during decompression: " +
                               std::to_string(code));
    }
    result.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
    if (code == Z_STREAM_END) break;
  }
  return result;
}

}  // namespace zlibcodec_detail

std::string compressString(const std::string& input, int level) {
  return zlibcodec_detail::compressInPieces(input, level, kZlibMaxPieceBytes);
}

std::string decompressString(const std::string& input) {
  return zlibcodec_detail::decompressInPieces(input, kZlibMaxPieceBytes);
}
