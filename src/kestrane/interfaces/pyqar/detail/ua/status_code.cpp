#include "status_code.h"

#include "pyqar/status_names.h"

#include <utility>

#include <fmt/format.h>

namespace pyqar::ua {

constexpr std::pair<std::uint32_t, const char*> kNames[] = {
    {0x00000000, "Good"},
    {0x80010000, "BadUnexpectedError"},
    {0x80020000, "BadInternalError"},
    {0x80030000, "BadOutOfMemory"},
    {0x80040000, "BadResourceUnavailable"},
    {0x80050000, "BadCommunicationError"},
    {0x80060000, "BadEncodingError"},
    {0x80070000, "BadDecodingError"},
    {0x80080000, "BadEncodingLimitsExceeded"},
    {0x80090000, "BadUnknownResponse"},
    {0x800A0000, "BadTimeout"},
    {0x800B0000, "BadServiceUnsupported"},
    {0x800C0000, "BadShutdown"},
    {0x800D0000, "BadServerNotConnected"},
    {0x800E0000, "BadServerHalted"},
    {0x800F0000, "BadNothingToDo"},
    {0x80100000, "BadTooManyOperations"},
    {0x80120000, "BadCertificateInvalid"},
    {0x80130000, "BadSecurityChecksFailed"},
    {0x80140000, "BadCertificateTimeInvalid"},
    {0x80170000, "BadCertificateUriInvalid"},
    {0x80180000, "BadCertificateUseNotAllowed"},
    {0x801A0000, "BadCertificateUntrusted"},
    {0x801B0000, "BadCertificateRevocationUnknown"},
    {0x801D0000, "BadCertificateRevoked"},
    {0x801F0000, "BadUserAccessDenied"},
    {0x80200000, "BadIdentityTokenInvalid"},
    {0x80210000, "BadIdentityTokenRejected"},
    {0x80220000, "BadSecureChannelIdInvalid"},
    {0x80240000, "BadNonceInvalid"},
    {0x80250000, "BadSessionIdInvalid"},
    {0x80260000, "BadSessionClosed"},
    {0x80270000, "BadSessionNotActivated"},
    {0x80330000, "BadNodeIdInvalid"},
    {0x80340000, "BadNodeIdUnknown"},
    {0x80350000, "BadAttributeIdInvalid"},
    // The subscription and monitored-item services.
    {0x80280000, "BadSubscriptionIdInvalid"},
    {0x80410000, "BadMonitoringModeInvalid"},
    {0x80420000, "BadMonitoredItemIdInvalid"},
    {0x80430000, "BadMonitoredItemFilterInvalid"},
    {0x80440000, "BadMonitoredItemFilterUnsupported"},
    {0x80450000, "BadFilterNotAllowed"},
    {0x80770000, "BadTooManySubscriptions"},
    {0x80780000, "BadTooManyPublishRequests"},
    {0x80790000, "BadNoSubscription"},
    {0x807A0000, "BadSequenceNumberUnknown"},
    {0x807B0000, "BadMessageNotAvailable"},
    {0x808E0000, "BadDeadbandFilterInvalid"},
    {0x80DB0000, "BadTooManyMonitoredItems"},
    {0x80550000, "BadSecurityPolicyRejected"},
    {0x807D0000, "BadTcpServerTooBusy"},
    {0x807E0000, "BadTcpMessageTypeInvalid"},
    {0x807F0000, "BadTcpSecureChannelUnknown"},
    {0x80800000, "BadTcpMessageTooLarge"},
    {0x80810000, "BadTcpNotEnoughResources"},
    {0x80820000, "BadTcpInternalError"},
    {0x80830000, "BadTcpEndpointUrlInvalid"},
    {0x80B80000, "BadRequestTooLarge"},
    {0x80B90000, "BadResponseTooLarge"},
    {0x80540000, "BadSecurityModeRejected"},
    {0x80560000, "BadTooManySessions"},
    {0x80570000, "BadUserSignatureInvalid"},
    {0x80580000, "BadApplicationSignatureInvalid"},
    {0x80850000, "BadRequestTimeout"},
    {0x80860000, "BadSecureChannelClosed"},
    {0x80870000, "BadSecureChannelTokenUnknown"},
    // The codes servers give for the quality of data.
    {0x808C0000, "BadSensorFailure"},
    {0x808B0000, "BadDeviceFailure"},
    {0x808D0000, "BadOutOfService"},
    {0x80320000, "BadWaitingForInitialData"},
    {0x808A0000, "BadNotConnected"},
    {0x80890000, "BadConfigurationError"},
    {0x80310000, "BadNoCommunication"},
    {0x809B0000, "BadNoData"},
    {0x809D0000, "BadDataLost"},
    {0x809E0000, "BadDataUnavailable"},
    {0x80B10000, "BadNoDataAvailable"},
    {0x80F00000, "BadNoValue"},
    {0x80AF0000, "BadInvalidState"},
    {0x80740000, "BadTypeMismatch"},
    {0x803C0000, "BadOutOfRange"},
    {0x803A0000, "BadNotReadable"},
    {0x803B0000, "BadNotWritable"},
    {0x803D0000, "BadNotSupported"},
    {0x803E0000, "BadNotFound"},
    {0x803F0000, "BadObjectDeleted"},
    {0x80400000, "BadNotImplemented"},
    {0x80360000, "BadIndexRangeInvalid"},
    {0x80370000, "BadIndexRangeNoData"},
    {0x80380000, "BadDataEncodingInvalid"},
    {0x80390000, "BadDataEncodingUnsupported"},
    {0x80700000, "BadMaxAgeInvalid"},
    {0x802B0000, "BadTimestampsToReturnInvalid"},
    {0x40900000, "UncertainLastUsableValue"},
    {0x40910000, "UncertainSubstituteValue"},
    {0x40920000, "UncertainInitialValue"},
    {0x40930000, "UncertainSensorNotAccurate"},
    {0x40940000, "UncertainEngineeringUnitsExceeded"},
    {0x40950000, "UncertainSubNormal"},
    {0x408F0000, "UncertainNoCommunicationLastUsableValue"},
    {0x40A40000, "UncertainDataSubNormal"},
    {0x00960000, "GoodLocalOverride"},
    {0x00300000, "GoodClamped"},
    {0x002F0000, "GoodOverload"},
    {0x00A50000, "GoodNoData"},
    {0x00A60000, "GoodMoreData"},
    {0x40000000, "Uncertain"},
    {0x80000000, "Bad"},
    // Subscriptions and monitored items.
    {0x80280000, "BadSubscriptionIdInvalid"},
    {0x80410000, "BadMonitoringModeInvalid"},
    {0x80420000, "BadMonitoredItemIdInvalid"},
    {0x80430000, "BadMonitoredItemFilterInvalid"},
    {0x80440000, "BadMonitoredItemFilterUnsupported"},
    {0x80450000, "BadFilterNotAllowed"},
    {0x808E0000, "BadDeadbandFilterInvalid"},
    {0x80770000, "BadTooManySubscriptions"},
    {0x80780000, "BadTooManyPublishRequests"},
    {0x80790000, "BadNoSubscription"},
    {0x807A0000, "BadSequenceNumberUnknown"},
    {0x807B0000, "BadMessageNotAvailable"},
    {0x80DB0000, "BadTooManyMonitoredItems"},
    {0x002D0000, "GoodSubscriptionTransferred"},
    // History.
    {0x804A0000, "BadContinuationPointInvalid"},
    {0x804B0000, "BadNoContinuationPoints"},
    {0x80710000, "BadHistoryOperationInvalid"},
    {0x80720000, "BadHistoryOperationUnsupported"},
    // Methods and conditions.
    {0x80750000, "BadMethodInvalid"},
    {0x80760000, "BadArgumentsMissing"},
    {0x80970000, "BadRefreshInProgress"},
    {0x80470000, "BadEventFilterInvalid"},
    {0x80480000, "BadContentFilterInvalid"},
    {0x80490000, "BadFilterOperandInvalid"},
};

std::string status_text(std::uint32_t code) {
  for (const auto& [value, name] : kNames) {
    if (value == code) return fmt::format("{} (0x{:08X})", name, code);
  }
  return fmt::format("0x{:08X}", code);
}

}  // namespace pyqar::ua

namespace pyqar {

std::string status_name(std::uint32_t code) {
  const std::uint32_t without_info = code & 0xFFFF0000u;
  for (const auto& [value, name] : ua::kNames) {
    if (value == without_info) return name;
  }
  return fmt::format("0x{:08X}", code);
}

}  // namespace pyqar
