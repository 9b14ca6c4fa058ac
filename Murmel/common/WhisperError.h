// The speech engine's one error type: a case saying which step failed and the whole message.
// `what()` is the message. `errorDescription()` also writes the message to the library log at error
// level, once per call. Equal when case and message are equal.
//   throw WhisperError::modelsUnavailable("Models are unavailable");
#pragma once

#include <stdexcept>
#include <string>

namespace murmel {

class WhisperError : public std::runtime_error {
 public:
  enum class Kind {
    tokenizerUnavailable,
    modelsUnavailable,
    prefillFailed,
    audioProcessingFailed,
    decodingLogitsFailed,
    segmentingFailed,
    loadAudioFailed,
    prepareDecoderInputsFailed,
    transcriptionFailed,
    decodingFailed,
    microphoneUnavailable,
    initializationError,
  };

  WhisperError(Kind kind, std::string message) : std::runtime_error(message), kind_(kind), message_(std::move(message)) {}

  static WhisperError tokenizerUnavailable(std::string message = "Tokenizer is unavailable") {
    return {Kind::tokenizerUnavailable, std::move(message)};
  }
  static WhisperError modelsUnavailable(std::string message = "Models are unavailable") {
    return {Kind::modelsUnavailable, std::move(message)};
  }
  static WhisperError prefillFailed(std::string message) { return {Kind::prefillFailed, std::move(message)}; }
  static WhisperError audioProcessingFailed(std::string message) {
    return {Kind::audioProcessingFailed, std::move(message)};
  }
  static WhisperError decodingLogitsFailed(std::string message) {
    return {Kind::decodingLogitsFailed, std::move(message)};
  }
  static WhisperError segmentingFailed(std::string message) { return {Kind::segmentingFailed, std::move(message)}; }
  static WhisperError loadAudioFailed(std::string message) { return {Kind::loadAudioFailed, std::move(message)}; }
  static WhisperError prepareDecoderInputsFailed(std::string message) {
    return {Kind::prepareDecoderInputsFailed, std::move(message)};
  }
  static WhisperError transcriptionFailed(std::string message) {
    return {Kind::transcriptionFailed, std::move(message)};
  }
  static WhisperError decodingFailed(std::string message) { return {Kind::decodingFailed, std::move(message)}; }
  static WhisperError microphoneUnavailable(std::string message) {
    return {Kind::microphoneUnavailable, std::move(message)};
  }
  static WhisperError initializationError(std::string message) {
    return {Kind::initializationError, std::move(message)};
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // Logs the message at error level, then returns it.
  std::string errorDescription() const;

  friend bool operator==(const WhisperError& a, const WhisperError& b) {
    return a.kind_ == b.kind_ && a.message_ == b.message_;
  }

 private:
  Kind kind_;
  std::string message_;
};

}  // namespace murmel
