// Trimming texts: ASCII white space (space, tab, line feed, carriage return, vertical tab, form
// feed) from both ends, and long texts from elsewhere (a server's header, a file's name) down to a
// size fit for a message. Pure and thread-safe.
//   trimmingWhitespace(" \t hi there\r\n") == "hi there"
//   shortenedForMessage(std::string(90000, 'a'), 8) == "aaaaaaaa…"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::system {

// A view into `text`; empty when it is all white space.
std::string_view trimmingWhitespace(std::string_view text);

// The bytes a message shows of a text it quotes, unless the caller says otherwise.
inline constexpr std::size_t kMessageValueBytes = 120;

// `text` when it holds at most `maxBytes` bytes; otherwise its first `maxBytes` bytes, cut back to
// the start of a UTF-8 sequence so that no character is split, followed by "…".
std::string shortenedForMessage(std::string_view text, std::size_t maxBytes = kMessageValueBytes);

}  // namespace platform::system
