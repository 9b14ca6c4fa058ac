// Helpers of the tokenizer tests: fixture paths, reading JSON documents into Config trees, and
// small configurations written inline.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "Hub/Config.h"
#include "Hub/JSONParser.h"
#include "testsupport/Fixtures.h"

namespace tokenizers::testing {

inline std::filesystem::path tokenizerFixture(std::string_view name) {
  return testsupport::fixturesDir() / "tokenizers" / std::string(name);
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline hub::Config readConfig(const std::filesystem::path& path) { return hub::JSONParser::parseToConfig(readFile(path)); }

inline hub::Config json(std::string_view text) { return hub::JSONParser::parseToConfig(text); }

// A dictionary with one key replaced or added.
inline hub::Config with(const hub::Config& dictionary, std::string_view key, hub::Config value) {
  hub::Config::Dictionary copy = dictionary.dictionary() ? *dictionary.dictionary() : hub::Config::Dictionary{};
  copy[hub::BinaryDistinctString(key)] = std::move(value);
  return hub::Config(std::move(copy));
}

}  // namespace tokenizers::testing
