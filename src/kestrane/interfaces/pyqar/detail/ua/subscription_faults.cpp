#include "subscription_faults.h"

#include "status_code.h"

namespace pyqar::ua {

bool refused_as_too_large(std::uint32_t code) {
  // Not BadTooManyMonitoredItems: as a service result it says the server is full.
  return code == status::BadTooManyOperations || code == status::BadRequestTooLarge ||
         code == status::BadEncodingLimitsExceeded || code == status::BadTcpMessageTooLarge;
}

bool session_fault(std::uint32_t code) {
  return code == status::BadSessionIdInvalid || code == status::BadSessionClosed ||
         code == status::BadSessionNotActivated || code == status::BadSecureChannelIdInvalid;
}

}  // namespace pyqar::ua
