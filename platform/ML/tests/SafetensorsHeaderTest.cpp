// The header of a tensor file is refused, before it is parsed or walked, when it is larger or
// lists more tensors than a real checkpoint's; both bounds are tried on both sides.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/ML/detail/Safetensors.h"
#include "testsupport/Fixtures.h"

namespace platform::ml::testing {
namespace {

using detail::SafetensorsFile;
using detail::WeightsError;

// A file of `tensors` empty tensors, its header padded with spaces to `headerBytes` when that is more.
std::filesystem::path writeHeader(const testsupport::TempDir& dir, std::size_t tensors, std::size_t headerBytes = 0) {
  std::string header = "{";
  for (std::size_t i = 0; i < tensors; ++i)
    header += std::string(i ? "," : "") + "\"t" + std::to_string(i) +
              "\":{\"dtype\":\"F32\",\"shape\":[0],\"data_offsets\":[0,0]}";
  header += "}";
  if (header.size() < headerBytes) header.append(headerBytes - header.size(), ' ');
  const auto path = dir.path() / "weights.safetensors";
  std::ofstream out(path, std::ios::binary);
  std::uint64_t length = header.size();
  for (int i = 0; i < 8; ++i) out.put(static_cast<char>((length >> (8 * i)) & 0xff));
  out << header;
  return path;
}

TEST(SafetensorsHeaderTest, HeadersBeyondWhatACheckpointHoldsAreRefused) {
  testsupport::TempDir dir;
  struct Case {
    const char* name;
    std::size_t tensors, headerBytes;
    const char* refusal;  // nothing: opens
  } cases[] = {
      {"16,384 tensors", 16384, 0, nullptr},
      {"16,385 tensors", 16385, 0, "lists 16385 tensors, more than a checkpoint holds (at most 16384;"},
      {"a header of 4 MiB", 1, 4u << 20, nullptr},
      {"a header of 4 MiB and a byte", 1, (4u << 20) + 1, "more than a checkpoint's header holds (at most 4 MiB"},
      {"a million tensors", 1000000, 0, "more than a checkpoint's header holds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = writeHeader(dir, c.tensors, c.headerBytes);
    try {
      SafetensorsFile file(path);
      EXPECT_EQ(c.refusal, nullptr);
      EXPECT_EQ(file.entries().size(), c.tensors);
    } catch (const WeightsError& e) {
      ASSERT_NE(c.refusal, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace platform::ml::testing
