#pragma once
// SessionActivation: creates a session and logs it on: CreateSession (on a secured channel
// refusing an answer that is short of nonce, carries another certificate or other endpoints,
// or whose signature is wrong), then ActivateSession for the configured user, signed over the
// server's newest nonce, the password encrypted as the user token policy says. Activates the
// same session again on a new channel. Owned by a UaSession; one thread at a time.

#include <chrono>
#include <optional>
#include <vector>

#include "pyqar/ua_security.h"
#include "session_channel.h"
#include "ua_codec.h"

namespace pyqar::ua {

class SessionActivation {
 public:
  struct Settings {
    double requested_session_timeout_ms = 60'000;
    std::string session_name;
    UaSecurity security{};
    // The endpoint chosen (none without security) and everything GetEndpoints listed, to
    // compare with what CreateSession lists.
    std::optional<EndpointDescription> endpoint;
    std::vector<EndpointDescription> discovered;
  };

  // `link` must outlive the activation.
  SessionActivation(SessionChannel& link, Settings settings)
      : link_(link), settings_(std::move(settings)) {}

  // CreateSession, then activate(). Throws std::runtime_error naming the step that failed.
  void create_and_activate();
  // ActivateSession on the current channel, for the configured user.
  void activate();
  // The session's timeout as the server revised it.
  std::chrono::milliseconds session_timeout() const { return session_timeout_; }

 private:
  // On a secured channel, refuses a CreateSession answer with a short nonce, another
  // certificate, other endpoints than GetEndpoints listed, or an ApplicationUri that is not
  // the one in the server's certificate.
  void check_created(const CreateSessionResponse& created);
  // The token policy for the configured user on `endpoints`, and the identity fields of the
  // ActivateSession request for it.
  const UserTokenPolicy& token_policy(const std::vector<EndpointDescription>& endpoints) const;
  void fill_identity(ActivateSessionRequest& request, const UserTokenPolicy& policy,
                     const CreateSessionResponse& created);

  SessionChannel& link_;
  Settings settings_;
  // The CreateSession answer, its nonce replaced by each newer one the server sends.
  CreateSessionResponse created_;
  std::chrono::milliseconds session_timeout_{0};
};

}  // namespace pyqar::ua
