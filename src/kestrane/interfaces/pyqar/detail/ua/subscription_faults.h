#pragma once
// How the subscription engine's parts sort the status codes a service answers with. Pure
// functions; any thread.

#include <cstdint>

namespace pyqar::ua {

// A call refused for its size: a smaller one may pass.
bool refused_as_too_large(std::uint32_t code);
// The session or channel is gone: only a reconnect mends that.
bool session_fault(std::uint32_t code);

}  // namespace pyqar::ua
