// Names from the network that become parts of local paths, checked before use. Pure functions.
#pragma once

#include <string>
#include <string_view>

namespace hub::detail {

// A repository path that stays inside its folder and out of the client's own: no leading "/",
// no "\", no control character (NUL, line breaks, C1, U+2028/U+2029), no empty, "." or ".."
// segment, no top-level ".cache".   "a/b.json" => true, "a/../../x" => false,
// ".cache/huggingface/download/x.metadata" => false
bool isSafeRelativePath(std::string_view name);
// Entity-tag text that may be part of a file name: ASCII letters, digits and "-._+=~", at most
// 255 bytes (empty allowed).
bool isSafeEtag(std::string_view etag);
// A text from the network as it may appear in a message, on one line: shortened to its first 120
// bytes and "…" (platform::system::shortenedForMessage), quoted, with control characters escaped
// (C0 and DEL as \xNN; C1 such as U+0085, and U+2028, U+2029 as \uNNNN).
//   a<NUL>b => "a\x00b",  a<U+2028>b => "a\u2028b"
std::string escapedForMessage(std::string_view text);
// A message or log line kept on one line: line-breaking and other control characters escaped as
// above (tab stays), nothing quoted.   "a\nb" => "a\x0ab"
std::string oneLine(std::string_view text);

}  // namespace hub::detail
