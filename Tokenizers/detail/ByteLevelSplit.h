// A hand-written matcher of the GPT-2 split expression
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// giving the same matches as ICU's engine (code-point classes: \s is White_Space, \p{L} and
// \p{N} the general categories) without its per-match cost. Input must be well-formed UTF-8.
//   "Hello  world's" => ["Hello", " ", " world", "'s"]
#pragma once

#include <functional>
#include <string_view>
#include <vector>

namespace tokenizers::detail {

// Calls `sink` with each match, in text order.
void forEachByteLevelPiece(std::string_view text, const std::function<void(std::string_view)>& sink);
std::vector<std::string_view> byteLevelPieces(std::string_view text);

}  // namespace tokenizers::detail
