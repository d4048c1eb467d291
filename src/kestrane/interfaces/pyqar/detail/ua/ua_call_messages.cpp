#include "ua_call_messages.h"

#include <fmt/format.h>

#include "status_code.h"
#include "ua_event_filter.h"

namespace pyqar::ua {
namespace {

// A result whose one bad code cannot be told apart from a missing answer.
constexpr std::uint32_t kBadUnexpectedError = 0x80010000;

// StatusCode + three empty arrays.
constexpr std::size_t kMinResultSize = 4 + 4 + 4 + 4;

std::vector<std::uint32_t> decode_statuses(BinaryReader& r) {
  return decode_array<std::uint32_t>(r, 4, [](BinaryReader& in) { return in.u32(); });
}

CallMethodResult decode_result(BinaryReader& r) {
  CallMethodResult result;
  result.status = r.u32();
  result.input_argument_results = decode_statuses(r);
  skip_array(r, 1, skip_diagnostic_info);
  result.outputs = decode_array<Variant>(r, 1, decode_variant);
  return result;
}

CallOutcome bad(std::uint32_t status, std::string error) {
  return {.status = status, .error = std::move(error)};
}

}  // namespace

CallMethodRequest condition_refresh(std::uint32_t subscription_id) {
  return {.object = NodeId::numeric_id(0, kConditionType),
          .method = NodeId::numeric_id(0, kConditionRefreshMethod),
          .inputs = {Variant(BuiltinType::UInt32, false, std::uint64_t{subscription_id})}};
}

void encode_request(BinaryWriter& w, const CallRequest& req) {
  encode_node_id(w, NodeId::numeric_id(0, type_id::CallRequest));
  encode_request_header(w, req.header);
  w.i32(static_cast<std::int32_t>(req.methods.size()));
  for (const CallMethodRequest& method : req.methods) {
    encode_node_id(w, method.object);
    encode_node_id(w, method.method);
    w.i32(static_cast<std::int32_t>(method.inputs.size()));
    for (const Variant& input : method.inputs) encode_variant(w, input);
  }
}

CallResponse decode_call_response(const ResponseHeader& header, BinaryReader& r) {
  CallResponse res;
  res.header = header;
  res.results = decode_array<CallMethodResult>(r, kMinResultSize, decode_result);
  skip_array(r, 1, skip_diagnostic_info);
  return res;
}

CallOutcome call_outcome(const CallResponse& response, std::string_view name) {
  const std::uint32_t service = response.header.service_result;
  if (severity(service) == Severity::Bad) {
    return bad(service, fmt::format("{} refused: {}", name, status_text(service)));
  }
  if (response.results.size() != 1) {
    return bad(kBadUnexpectedError, fmt::format("{}: the server answered with {} results for one "
                                                "call",
                                                name, response.results.size()));
  }
  const CallMethodResult& result = response.results.front();
  for (std::size_t i = 0; i < result.input_argument_results.size(); ++i) {
    const std::uint32_t arg = result.input_argument_results[i];
    if (severity(arg) == Severity::Bad) {
      return bad(arg,
                 fmt::format("{} refused input argument {}: {}", name, i + 1, status_text(arg)));
    }
  }
  if (severity(result.status) == Severity::Bad) {
    return bad(result.status, fmt::format("{} failed: {}", name, status_text(result.status)));
  }
  return {};
}

}  // namespace pyqar::ua
