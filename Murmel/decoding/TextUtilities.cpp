#include "Murmel/decoding/TextUtilities.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "Murmel/common/EngineLogging.h"

namespace murmel {
namespace {

// Raw DEFLATE (window bits −15) at the default level; the compressed length, or an error text.
std::optional<std::size_t> deflatedSize(const unsigned char* data, std::size_t size, std::string& error) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    error = "deflate initialisation failed";
    return std::nullopt;
  }
  std::vector<unsigned char> out(deflateBound(&stream, static_cast<uLong>(size)) + 16);
  stream.next_in = const_cast<unsigned char*>(data);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  const std::size_t produced = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) {
    error = stream.msg ? stream.msg : "deflate did not finish (status " + std::to_string(status) + ")";
    return std::nullopt;
  }
  return produced;
}

float ratio(const unsigned char* data, std::size_t size) {
  std::string error;
  if (size > std::numeric_limits<uInt>::max() / 2) error = "input too large";
  auto compressed = error.empty() ? deflatedSize(data, size, error) : std::nullopt;
  if (!compressed || *compressed == 0) {
    Logging::debug("Compression error: " + (error.empty() ? std::string("empty output") : error));
    return std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(size) / static_cast<float>(*compressed);
}

}  // namespace

float TextUtilities::compressionRatio(const std::vector<std::int64_t>& tokens) {
  std::vector<std::int32_t> values(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) values[i] = static_cast<std::int32_t>(tokens[i]);
  return ratio(reinterpret_cast<const unsigned char*>(values.data()), values.size() * sizeof(std::int32_t));
}

float TextUtilities::compressionRatio(std::string_view text) {
  if (text.empty()) return std::numeric_limits<float>::infinity();
  return ratio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace murmel
