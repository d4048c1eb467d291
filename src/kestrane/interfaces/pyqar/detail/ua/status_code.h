#pragma once
// StatusCode helpers: severity and readable names for the codes a client meets.
// Pure functions; any thread.

#include <cstdint>
#include <string>

namespace pyqar::ua {

namespace status {
inline constexpr std::uint32_t Good = 0;
inline constexpr std::uint32_t BadUnexpectedError = 0x80010000;
inline constexpr std::uint32_t BadInternalError = 0x80020000;
inline constexpr std::uint32_t BadCommunicationError = 0x80050000;
inline constexpr std::uint32_t BadDecodingError = 0x80070000;
inline constexpr std::uint32_t BadTimeout = 0x800A0000;
inline constexpr std::uint32_t BadServiceUnsupported = 0x800B0000;
inline constexpr std::uint32_t BadTooManyOperations = 0x80100000;
inline constexpr std::uint32_t BadSecureChannelIdInvalid = 0x80220000;
inline constexpr std::uint32_t BadSessionIdInvalid = 0x80250000;
inline constexpr std::uint32_t BadSessionClosed = 0x80260000;
inline constexpr std::uint32_t BadSessionNotActivated = 0x80270000;
inline constexpr std::uint32_t BadNodeIdInvalid = 0x80330000;
inline constexpr std::uint32_t BadNodeIdUnknown = 0x80340000;
inline constexpr std::uint32_t BadSecurityPolicyRejected = 0x80550000;
inline constexpr std::uint32_t BadTcpMessageTooLarge = 0x80800000;
inline constexpr std::uint32_t BadTcpEndpointUrlInvalid = 0x80830000;
inline constexpr std::uint32_t BadEncodingLimitsExceeded = 0x80080000;
inline constexpr std::uint32_t BadRequestTooLarge = 0x80B80000;
inline constexpr std::uint32_t BadAttributeIdInvalid = 0x80350000;
inline constexpr std::uint32_t BadSubscriptionIdInvalid = 0x80280000;
inline constexpr std::uint32_t BadMonitoredItemFilterInvalid = 0x80430000;
inline constexpr std::uint32_t BadMonitoredItemFilterUnsupported = 0x80440000;
inline constexpr std::uint32_t BadFilterNotAllowed = 0x80450000;
inline constexpr std::uint32_t BadTooManySubscriptions = 0x80770000;
inline constexpr std::uint32_t BadTooManyPublishRequests = 0x80780000;
inline constexpr std::uint32_t BadNoSubscription = 0x80790000;
inline constexpr std::uint32_t BadSequenceNumberUnknown = 0x807A0000;
inline constexpr std::uint32_t BadMessageNotAvailable = 0x807B0000;
inline constexpr std::uint32_t BadDeadbandFilterInvalid = 0x808E0000;
inline constexpr std::uint32_t BadTooManyMonitoredItems = 0x80DB0000;
inline constexpr std::uint32_t BadTimestampsToReturnInvalid = 0x802B0000;
inline constexpr std::uint32_t BadNotReadable = 0x803A0000;
inline constexpr std::uint32_t BadContinuationPointInvalid = 0x804A0000;
inline constexpr std::uint32_t BadNoContinuationPoints = 0x804B0000;
inline constexpr std::uint32_t BadHistoryOperationInvalid = 0x80710000;
inline constexpr std::uint32_t BadHistoryOperationUnsupported = 0x80720000;
inline constexpr std::uint32_t BadMethodInvalid = 0x80750000;
inline constexpr std::uint32_t BadNotImplemented = 0x80400000;
inline constexpr std::uint32_t BadNotSupported = 0x803D0000;
inline constexpr std::uint32_t BadRefreshInProgress = 0x80970000;
}  // namespace status

enum class Severity { Good, Uncertain, Bad };

inline Severity severity(std::uint32_t code) {
  switch (code >> 30) {
    case 0:
      return Severity::Good;
    case 1:
      return Severity::Uncertain;
    default:
      return Severity::Bad;
  }
}

// "BadNodeIdUnknown (0x80340000)" for known codes, else the hex value alone.
std::string status_text(std::uint32_t code);

}  // namespace pyqar::ua
