// The byte-to-character tables of byte-level tokenizers (the GPT-2 byte-level BPE table): every
// byte is shown as one printable character, so that byte-level token texts are ordinary strings.
// Printable bytes 0x21-0x7E, 0xA1-0xAC and 0xAE-0xFF stand for themselves; the other 68 bytes
// take U+0100 ... U+0143 in byte order. Process-wide constants, built once, safe from any thread.
//   byteEncoder()[0x20] == "Ġ" (U+0120);  byteDecoder("Ġ") == 0x20;  byteDecoder("ĠĠ") == nullopt
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tokenizers {

// Byte to its one-character UTF-8 string; 256 entries, pairwise distinct.
const std::array<std::string, 256>& byteEncoder();
// The inverse map; 256 entries.
const std::unordered_map<std::string, std::uint8_t>& byteDecoder();
// The byte a whole string stands for, or nothing when it is not one of the 256 characters.
std::optional<std::uint8_t> byteDecoder(std::string_view character);

namespace detail {
// The byte for a scalar of the table, or -1.
int byteForScalar(char32_t scalar);
// Appends the table characters of every byte of `bytes`.
void appendByteEncoded(std::string& out, std::string_view bytes);
}  // namespace detail

}  // namespace tokenizers
