#pragma once
// RtSource: one open real-time connection to an OPC server, behind QARLibrary.
// Created, used and destroyed on one thread; not synchronised.
// Internal to pyqar: the DA simulation and the OPC UA client each implement it.

#include <memory>
#include <string>
#include <vector>

#include "pyqar/qar_types.h"
#include "pyqar/ua_security.h"

namespace pyqar {

class RtSource {
 public:
  virtual ~RtSource() = default;
  RtSource(const RtSource&) = delete;
  RtSource& operator=(const RtSource&) = delete;

  // Whether the source can serve reads now.
  virtual bool valid() const = 0;
  // Exactly one ValueObject per descriptor, in order. Throws std::runtime_error when the
  // connection fails (the source is then no longer valid).
  virtual std::vector<ValueObject> read(const std::vector<TagDescriptor>& batch) = 0;

 protected:
  RtSource() = default;
};

// The built-in OPC DA simulation ("opc.da://localhost/OstrevoV2.1.0"). Throws
// std::runtime_error with the reason for any other DA address.
std::unique_ptr<RtSource> make_da_source(const std::string& schema, int sample_timespan_msec);
// Servers the DA simulation offers on `hostname` (the simulation itself on local hosts).
std::vector<qar_source_desc_t> discover_da(const std::string& hostname);

// An OPC UA client session ("opc.tcp://host:port[/path]"), connected and activated, with
// `security`'s channel security and user. Throws std::runtime_error with the reason when it
// cannot connect.
std::unique_ptr<RtSource> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                         const UaSecurity& security = {});
// Servers known to the OPC UA server or discovery server at hostname:port.
std::vector<qar_source_desc_t> discover_ua(const std::string& hostname, int port);

}  // namespace pyqar
