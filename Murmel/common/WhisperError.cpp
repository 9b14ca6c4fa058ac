#include "Murmel/common/WhisperError.h"

#include "KestrumCore/Logging.h"

namespace murmel {

std::string WhisperError::errorDescription() const {
  kestrum::Logging::error(message_);
  return message_;
}

}  // namespace murmel
