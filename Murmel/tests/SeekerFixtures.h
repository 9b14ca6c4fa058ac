// A small vocabulary for seeker and task tests: words and marks below 40, the special tokens at
// 40…50 and 100 timestamps <|0.00|>…<|1.98|> from 51.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "Murmel/decoding/WhisperTokenizer.h"
#include "Murmel/tests/FakeTokenizer.h"

namespace murmel::testing {

constexpr std::int64_t kWordEnd = 40, kWordStart = 41, kWordTime = 51;

inline std::map<tokenizers::TokenId, std::string> seekerPieces() {
  std::map<tokenizers::TokenId, std::string> pieces{{0, " Hello"}, {1, ","}, {2, " world"}, {3, "."}, {4, "\""},
                                                    {5, " ("},     {6, "?"}, {7, " why"},   {8, " not"}, {9, "lo"}};
  for (int i = 10; i < 39; ++i) pieces[i] = " w" + std::to_string(i);
  pieces[39] = " ";
  const char* special[] = {"<|endoftext|>", "<|startoftranscript|>", "<|en|>", "<|de|>", "<|fr|>", "<|ja|>",
                           "<|translate|>", "<|transcribe|>", "<|startofprev|>", "<|nospeech|>", "<|notimestamps|>"};
  for (int i = 0; i < 11; ++i) pieces[40 + i] = special[i];
  for (int i = 0; i < 100; ++i) {
    char text[16];
    std::snprintf(text, sizeof text, "<|%.2f|>", i * 0.02);
    pieces[kWordTime + i] = text;
  }
  return pieces;
}

inline std::shared_ptr<const WhisperTokenizer> seekerTokenizer() {
  return std::make_shared<WhisperTokenizerWrapper>(std::make_shared<FakeTokenizer>(seekerPieces()));
}

}  // namespace murmel::testing
