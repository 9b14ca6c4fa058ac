// Model repositories for the engine's whole road, written by tests and benchmarks: a generated
// tokenizer in the English-only layout of the model family (51864 ids), weights whose decoder says
// a given token script whatever it hears, the family's checkpoint files, and WAV clips.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/Audio/AudioFileWriter.h"
#include "platform/ML/ModelFolders.h"

namespace parlet::testing {

// Ids of the generated tokenizer.
inline constexpr std::int64_t kFirstWordToken = 256;        // "Ġhello", "Ġworld", then "Ġw258", "Ġw259", ...
inline constexpr std::int64_t kEndOfTextToken = 50256;      // "<|endoftext|>"
inline constexpr std::int64_t kFirstTimestampToken = 50363; // "<|0.00|>", then one per 0.02 s
inline constexpr std::int64_t kVocabularySize = 51864;

// Base.en's dimensions (random weights still decide the speed) or a narrow one-layer model with
// the same vocabulary and audio shape, quick enough for tests.
inline platform::ml::WhisperDimensions baseEnDimensions() { return {}; }
inline platform::ml::WhisperDimensions narrowDimensions() {
  platform::ml::WhisperDimensions d;
  d.nAudioState = d.nTextState = 32;
  d.nAudioHead = d.nTextHead = 2;
  d.nAudioLayer = d.nTextLayer = 1;
  d.nFf = 64;
  return d;
}

// The text of a word token: " hello", " world", " w258", ...
inline std::string wordText(std::int64_t id) {
  if (id == kFirstWordToken) return " hello";
  if (id == kFirstWordToken + 1) return " world";
  return " w" + std::to_string(id);
}

inline std::int64_t timestampToken(double seconds) { return kFirstTimestampToken + std::lround(seconds / 0.02); }

// A segment from 0 s to `endSeconds` saying `words` word tokens, then the end of text.
inline std::vector<std::int64_t> sayWords(int words, double endSeconds) {
  std::vector<std::int64_t> script{timestampToken(0)};
  for (int i = 0; i < words; ++i) script.push_back(kFirstWordToken + i);
  script.push_back(timestampToken(endSeconds));
  script.push_back(kEndOfTextToken);
  return script;
}

// The text a script spells: its word tokens' texts, without the first blank.
inline std::string spokenText(const std::vector<std::int64_t>& script) {
  std::string text;
  for (auto id : script)
    if (id >= kFirstWordToken && id < kEndOfTextToken) text += wordText(id);
  return text.empty() ? text : text.substr(1);
}

namespace detail {

// The byte-level alphabet: printable bytes stand for themselves, the others for U+0100 onwards.
inline std::vector<std::string> byteAlphabet() {
  auto utf8 = [](std::uint32_t c) {
    std::string s;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
  };
  std::vector<std::string> symbols(256);
  std::uint32_t next = 256;
  for (std::uint32_t b = 0; b < 256; ++b) {
    const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174);
    symbols[b] = utf8(printable ? b : next++);
  }
  return symbols;
}

inline std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace detail

// tokenizer.json of the generated tokenizer: byte-level BPE without merges over the 256 byte
// symbols and the word tokens, then the special tokens of the English-only layout (end of text,
// start of transcript, 99 language slots with "<|en|>" first, task and control tokens, and the
// 1501 timestamps "<|0.00|>" to "<|30.00|>").
inline std::string generatedTokenizerJson() {
  std::vector<std::string> tokens = detail::byteAlphabet();
  const std::string blank = tokens[' '];
  for (std::int64_t id = kFirstWordToken; id < kEndOfTextToken; ++id) tokens.push_back(blank + wordText(id).substr(1));
  std::vector<std::string> special{"<|endoftext|>", "<|startoftranscript|>", "<|en|>"};
  for (int i = 1; i < 99; ++i) special.push_back("<|lang" + std::to_string(i) + "|>");
  for (const char* name : {"<|translate|>", "<|transcribe|>", "<|startoflm|>", "<|startofprev|>", "<|nospeech|>",
                           "<|notimestamps|>"})
    special.push_back(name);
  for (int i = 0; i <= 1500; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "<|%.2f|>", i * 0.02);
    special.push_back(text);
  }
  std::ostringstream out;
  out << "{\"version\":\"1.0\",\"added_tokens\":[";
  for (std::size_t i = 0; i < special.size(); ++i)
    out << (i ? "," : "") << "{\"id\":" << kEndOfTextToken + static_cast<std::int64_t>(i)
        << ",\"content\":" << detail::jsonString(special[i]) << ",\"special\":true}";
  out << "],\"normalizer\":null,\"pre_tokenizer\":{\"type\":\"ByteLevel\",\"add_prefix_space\":false},"
         "\"post_processor\":null,\"decoder\":{\"type\":\"ByteLevel\"},"
         "\"model\":{\"type\":\"BPE\",\"merges\":[],\"vocab\":{";
  for (std::size_t i = 0; i < tokens.size(); ++i) out << (i ? "," : "") << detail::jsonString(tokens[i]) << ":" << i;
  for (std::size_t i = 0; i < special.size(); ++i)
    out << "," << detail::jsonString(special[i]) << ":" << kEndOfTextToken + static_cast<std::int64_t>(i);
  out << "}}}";
  if (static_cast<std::int64_t>(tokens.size() + special.size()) != kVocabularySize)
    throw std::logic_error("generated tokenizer has the wrong size");
  return out.str();
}

inline std::string generatedTokenizerConfigJson() {
  return R"({"tokenizer_class": "WhisperTokenizer", "unk_token": "<|endoftext|>", "bos_token": "<|endoftext|>",)"
         R"( "eos_token": "<|endoftext|>"})";
}

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

inline void writeGeneratedTokenizer(const std::filesystem::path& folder) {
  writeFile(folder / "tokenizer.json", generatedTokenizerJson());
  writeFile(folder / "tokenizer_config.json", generatedTokenizerConfigJson());
}

// Random weights whose decoder says `script` (distinct ids, fewer than the width) from its first
// position on, whatever the audio: every decoder block adds nothing (zero output projections),
// so at position p the stream holds the embedding of the token there plus position p's row. That
// row points at the embedding of script[p], which the tied output projection scores highest by
// far; the previous token's embedding scores second.
inline platform::ml::WeightMap scriptedWeights(const platform::ml::WhisperDimensions& d,
                                               const std::vector<std::int64_t>& script, std::uint32_t seed = 5) {
  if (static_cast<std::int64_t>(script.size()) >= d.nTextState) throw std::logic_error("script longer than the width");
  platform::ml::WeightMap w = platform::ml::randomWeights(d, seed);
  for (auto& [name, tensor] : w) {
    const bool decoderBlock = name.starts_with("model.decoder.layers.");
    if (decoderBlock && (name.find("out_proj") != std::string::npos || name.find(".fc2.") != std::string::npos))
      std::fill(tensor.data.begin(), tensor.data.end(), 0.0f);
  }
  std::fill(w["model.decoder.layer_norm.weight"].data.begin(), w["model.decoder.layer_norm.weight"].data.end(), 1.0f);
  std::fill(w["model.decoder.layer_norm.bias"].data.begin(), w["model.decoder.layer_norm.bias"].data.end(), 0.0f);
  auto& embed = w["model.decoder.embed_tokens.weight"].data;
  auto& positions = w["model.decoder.embed_positions.weight"].data;
  std::fill(embed.begin(), embed.end(), 0.0f);
  std::fill(positions.begin(), positions.end(), 0.0f);
  const std::int64_t width = d.nTextState;
  for (std::size_t i = 0; i < script.size(); ++i) {
    embed[static_cast<std::size_t>(script[i] * width) + i] = 8.0f;
    positions[i * static_cast<std::size_t>(width) + i] = 16.0f;
  }
  return w;
}

// config.json of a checkpoint of the family with these dimensions.
inline std::string checkpointConfigJson(const platform::ml::WhisperDimensions& d) {
  std::ostringstream out;
  out << "{\"model_type\": \"speech-seq2seq\", \"d_model\": " << d.nTextState << ", \"encoder_layers\": " << d.nAudioLayer
      << ", \"decoder_layers\": " << d.nTextLayer << ", \"encoder_attention_heads\": " << d.nAudioHead
      << ", \"decoder_attention_heads\": " << d.nTextHead << ", \"num_mel_bins\": " << d.nMels
      << ", \"vocab_size\": " << d.nVocab << ", \"max_source_positions\": " << d.nAudioCtx
      << ", \"max_target_positions\": " << d.nTextCtx << ", \"encoder_ffn_dim\": " << d.nFf
      << ", \"decoder_ffn_dim\": " << d.nFf << "}";
  return out.str();
}

// model.safetensors of the weights in F32: 8-byte little-endian header length, JSON header, data.
inline std::string checkpointWeights(const platform::ml::WeightMap& weights) {
  std::string header = "{", data;
  for (const auto& [name, tensor] : weights) {
    if (header.size() > 1) header += ",";
    header += detail::jsonString(name) + ":{\"dtype\":\"F32\",\"shape\":[";
    for (std::size_t i = 0; i < tensor.shape.size(); ++i) {
      if (i) header += ",";
      header += std::to_string(tensor.shape[i]);
    }
    const std::size_t begin = data.size();
    data.append(reinterpret_cast<const char*>(tensor.data.data()), tensor.data.size() * sizeof(float));
    header += "],\"data_offsets\":[" + std::to_string(begin) + "," + std::to_string(data.size()) + "]}";
  }
  header += "}";
  std::string file(8, '\0');
  for (int i = 0; i < 8; ++i) file[i] = static_cast<char>((header.size() >> (8 * i)) & 0xff);
  return file + header + data;
}

// A mono 16 kHz 16-bit WAV of a 220 Hz tone under a slower swell.
inline void writeToneWav(const std::filesystem::path& path, double seconds) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / 16000;
    samples[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)));
  }
  std::filesystem::create_directories(path.parent_path());
  platform::audio::writeAudioFile(path, 16000, {samples}, platform::audio::AudioFileType::wav16);
}

}  // namespace parlet::testing
