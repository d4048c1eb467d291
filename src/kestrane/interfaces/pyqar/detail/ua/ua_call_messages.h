#pragma once
// The Call service for methods on server objects (ConditionRefresh among them): its request,
// its response, and the check of one method's outcome. Plain data and free functions; any
// thread.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"
#include "ua_codec.h"
#include "ua_service_header.h"

namespace pyqar::ua {

namespace type_id {
inline constexpr std::uint32_t CallRequest = 712;
inline constexpr std::uint32_t CallResponse = 715;
}  // namespace type_id

// ConditionType.ConditionRefresh (namespace 0).
inline constexpr std::uint32_t kConditionRefreshMethod = 3875;

struct CallMethodRequest {
  NodeId object;
  NodeId method;
  std::vector<Variant> inputs;
};

struct CallRequest {
  RequestHeader header;
  std::span<const CallMethodRequest> methods;
};

struct CallMethodResult {
  std::uint32_t status = 0;
  std::vector<std::uint32_t> input_argument_results;
  std::vector<Variant> outputs;
};

struct CallResponse {
  ResponseHeader header;
  std::vector<CallMethodResult> results;
};

// What one method call came to: Good (0) with no error, or the first bad status and a
// sentence naming the method and the fault.
struct CallOutcome {
  std::uint32_t status = 0;
  std::string error;

  bool good() const { return error.empty(); }
};

// ConditionRefresh for every condition reported to the event items of `subscription_id`.
CallMethodRequest condition_refresh(std::uint32_t subscription_id);

// Writes the type id and then the request.
void encode_request(BinaryWriter& w, const CallRequest& req);
// The body after the response header. Throws DecodeError for a malformed body.
CallResponse decode_call_response(const ResponseHeader& header, BinaryReader& r);

// The outcome of a response to a request of one method, `name` naming it in the error:
// the service result, the count of results, the method's status and each input argument's.
CallOutcome call_outcome(const CallResponse& response, std::string_view name);

}  // namespace pyqar::ua
