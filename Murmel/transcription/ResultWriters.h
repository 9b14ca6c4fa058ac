// Writers that save one TranscriptionResult into a fixed folder as JSON (pretty), SubRip (".srt")
// or WebVTT (".vtt"). `write` never throws: it returns the file URL ("file:///…") or the error of
// the encoder or the file system. SRT and WebVTT are written atomically (temporary file, rename);
// the folder is never created. Writers keep no state beyond the folder.
//   ResultWriting::formatTime(65.25f, true, ",") == "00:01:05,250"
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <variant>

#include "Murmel/data/TranscriptionResult.h"

namespace murmel {

// The written file's URL, or the failure.
class WriteResult {
 public:
  static WriteResult success(std::string url) { return WriteResult(std::move(url)); }
  static WriteResult failure(std::exception_ptr error) { return WriteResult(error); }

  bool succeeded() const { return std::holds_alternative<std::string>(outcome_); }
  const std::string& url() const { return std::get<std::string>(outcome_); }
  std::exception_ptr error() const { return std::get<std::exception_ptr>(outcome_); }
  std::string errorMessage() const;  // the failure's what()

 private:
  explicit WriteResult(std::variant<std::string, std::exception_ptr> outcome) : outcome_(std::move(outcome)) {}
  std::variant<std::string, std::exception_ptr> outcome_;
};

class ResultWriting {
 public:
  using Options = std::map<std::string, std::string>;  // accepted and ignored by every writer

  virtual ~ResultWriting() = default;
  virtual const std::string& outputDir() const = 0;
  virtual WriteResult write(const TranscriptionResult& result, const std::string& file,
                            const Options& options = {}) = 0;

  // "HH:MM:SS<marker>mmm" with hours when asked or not zero, else "MM:SS<marker>mmm"; every part
  // truncated toward zero, milliseconds not rounded (2.3 => 299 ms).
  virtual std::string formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) const;

  // "1\n00:00:00,000 --> 00:00:01,500\ntext\n\n"
  std::string formatSegment(std::int64_t index, float start, float end, const std::string& text) const;
  // "00:00.000 --> 00:01.500\ntext\n\n"
  std::string formatTiming(float start, float end, const std::string& text) const;
};

class WriteJSON : public ResultWriting {
 public:
  explicit WriteJSON(std::string outputDir) : outputDir_(std::move(outputDir)) {}
  const std::string& outputDir() const override { return outputDir_; }
  WriteResult write(const TranscriptionResult& result, const std::string& file, const Options& options = {}) override;

 private:
  std::string outputDir_;
};

class WriteSRT : public ResultWriting {
 public:
  explicit WriteSRT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
  const std::string& outputDir() const override { return outputDir_; }
  WriteResult write(const TranscriptionResult& result, const std::string& file, const Options& options = {}) override;

 private:
  std::string outputDir_;
};

class WriteVTT : public ResultWriting {
 public:
  explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}
  const std::string& outputDir() const override { return outputDir_; }
  WriteResult write(const TranscriptionResult& result, const std::string& file, const Options& options = {}) override;

 private:
  std::string outputDir_;
};

}  // namespace murmel
