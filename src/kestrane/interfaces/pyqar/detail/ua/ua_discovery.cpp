#include "ua_discovery.h"

#include <stdexcept>

#include <fmt/format.h>

#include "journel/log.h"
#include "pyqar/rt_source.h"
#include "status_code.h"

namespace pyqar::ua {
namespace {

constexpr std::int32_t kDiscoveryServerType = 3;

bool usable_url(const std::string& url) { return url.starts_with("opc.tcp://"); }

std::string display_name(const ApplicationDescription& app) {
  return app.application_name.text.empty() ? app.application_uri : app.application_name.text;
}

std::vector<DiscoveredServer> from_applications(const std::vector<ApplicationDescription>& apps) {
  std::vector<DiscoveredServer> servers;
  std::vector<DiscoveredServer> discovery_servers;
  for (const auto& app : apps) {
    for (const auto& url : app.discovery_urls) {
      if (!usable_url(url)) continue;
      auto& list = app.application_type == kDiscoveryServerType ? discovery_servers : servers;
      list.push_back({display_name(app), url});
      break;
    }
  }
  // A discovery server is listed only when it knows of nothing else.
  return servers.empty() ? discovery_servers : servers;
}

std::vector<DiscoveredServer> from_endpoints(const std::vector<EndpointDescription>& endpoints) {
  std::vector<DiscoveredServer> servers;
  std::vector<std::string> seen;
  for (const auto& e : endpoints) {
    if (!usable_url(e.endpoint_url)) continue;
    if (std::find(seen.begin(), seen.end(), e.server.application_uri) != seen.end()) continue;
    seen.push_back(e.server.application_uri);
    servers.push_back({display_name(e.server), e.endpoint_url});
  }
  return servers;
}

}  // namespace

namespace {

std::vector<DiscoveredServer> ask(const std::string& url, ChannelOptions options) {
  EndpointUrl endpoint;
  try {
    endpoint = parse_endpoint_url(url);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(e.what());
  }
  SecureChannel channel(endpoint, std::move(options));
  BinaryWriter w;
  encode_request(w, FindServersRequest{.header = channel.make_header(), .endpoint_url = url});
  const ServiceResponse found = channel.call(w.data());
  if (const auto* servers = std::get_if<FindServersResponse>(&found);
      servers != nullptr && severity(servers->header.service_result) != Severity::Bad) {
    return from_applications(servers->servers);
  }
  journel::get_logger("pyqar")->info("FindServers on {} failed ({}); asking GetEndpoints", url,
                                     status_text(header_of(found).service_result));
  w = BinaryWriter();
  encode_request(w, GetEndpointsRequest{.header = channel.make_header(), .endpoint_url = url});
  const ServiceResponse endpoints = channel.call(w.data());
  const auto* list = std::get_if<GetEndpointsResponse>(&endpoints);
  if (list == nullptr || severity(list->header.service_result) == Severity::Bad) {
    throw std::runtime_error(fmt::format("discovery on {} failed: {}", url,
                                         status_text(header_of(endpoints).service_result)));
  }
  return from_endpoints(list->endpoints);
}

}  // namespace

std::vector<DiscoveredServer> discover_servers(const std::string& url, ChannelOptions options) {
  try {
    return ask(url, std::move(options));
  } catch (const std::exception& e) {
    throw std::runtime_error(naming_address(url, e.what()));
  }
}

}  // namespace pyqar::ua

namespace pyqar {

std::vector<qar_source_desc_t> discover_ua(const std::string& hostname, int port) {
  if (port < 1 || port > 65535) {
    throw std::runtime_error(
        fmt::format("OPC UA discovery on '{}': port {} is not from 1 to 65535", hostname, port));
  }
  const bool ipv6 = hostname.find(':') != std::string::npos;
  const std::string url = ipv6 ? fmt::format("opc.tcp://[{}]:{}", hostname, port)
                               : fmt::format("opc.tcp://{}:{}", hostname, port);
  std::vector<qar_source_desc_t> out;
  for (auto& server : ua::discover_servers(url)) {
    out.push_back({.source_type = QAR_RTSOURCE::QAR_RTSOURCE_UA,
                   .name = std::move(server.name),
                   .schema = std::move(server.url)});
  }
  return out;
}

}  // namespace pyqar
