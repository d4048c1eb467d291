#pragma once
// Discovery of OPC servers through the OPC access library, and what each OPC UA server's
// endpoints offer. Blocking; any thread (the desktop window calls them on a background job).

#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "pyqar/ua_security.h"

// 枚举本地或指定主机上的所有 OPC 服务器
//   hostname: 主机名或IP，默认本地
//   max_servers: 最大枚举数量
//   port: 端口，OPC DA 通常为0 (0 asks for DA servers, any other port for the UA server there)
// Returns [schema, ...]: the server addresses the library filled in (its short name where it
// gives no address), trailing NULs removed. Throws what the library throws.
QStringList enumerate_opc_servers(const QString& hostname = QStringLiteral("localhost"),
                                  int max_servers = 16, int port = 0);

// A server found, with the security its endpoints offer.
struct DiscoveredServer {
  QString schema;
  // "None / None, Basic256Sha256 / SignAndEncrypt": each policy and mode offered, once, in the
  // server's order; empty for an OPC DA server; why not when the endpoints could not be read.
  QString security;
  // One line per endpoint: its address, policy / mode and the user tokens it takes.
  QString endpoints;
};

// The endpoints of the OPC UA server at a URL; throws std::exception saying why not.
using EndpointsFn = std::function<std::vector<pyqar::UaEndpointInfo>(const std::string& url)>;

// Asks every opc.tcp:// address in `schemas` for its endpoints (through `endpoints`, or the
// library when it is empty). Every address stays in the list, in order, whether or not its
// endpoints could be read.
std::vector<DiscoveredServer> describe_servers(const QStringList& schemas,
                                               const EndpointsFn& endpoints = {});
