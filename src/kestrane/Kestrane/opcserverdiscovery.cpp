#include "opcserverdiscovery.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/qar_types.h"
#include "pyqar/ua_security.h"

QStringList enumerate_opc_servers(const QString& hostname, int max_servers, int port) {
  pyqar::QARLibrary qar;
  qar.set_log_level(pyqar::QAR_LOG_LEVEL::QAR_LOG_LEVEL_INFO);
  // destroy() must run on every way out, errors included.
  struct DestroyOnExit {
    pyqar::QARLibrary& qar;
    ~DestroyOnExit() { qar.destroy(); }
  } destroy_on_exit{qar};

  const auto source_type =
      port == 0 ? pyqar::QAR_RTSOURCE::QAR_RTSOURCE_DA : pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA;
  std::vector<pyqar::qar_source_desc_t> descs(static_cast<std::size_t>(std::max(0, max_servers)),
                                              pyqar::qar_source_desc_t{source_type, {}, {}});
  const std::optional<int> count = qar.discovery(descs, hostname.toStdString(), port);

  std::size_t taken = descs.size();
  if (count.has_value()) {
    taken = std::min(taken, static_cast<std::size_t>(std::max(0, *count)));
  }
  QStringList servers;
  for (std::size_t i = 0; i < taken; ++i) {
    // An entry must be an address the collector accepts: the library fills `schema` with it
    // and `name` with the server's short name, so the address wins when it is there.
    std::string name = descs[i].schema.empty() ? descs[i].name : descs[i].schema;
    while (!name.empty() && name.back() == '\0') {
      name.pop_back();
    }
    servers << QString::fromUtf8(name);
  }
  return servers;
}

std::vector<DiscoveredServer> describe_servers(const QStringList& schemas,
                                               const EndpointsFn& endpoints) {
  std::vector<DiscoveredServer> servers;
  servers.reserve(static_cast<std::size_t>(schemas.size()));
  for (const QString& schema : schemas) {
    DiscoveredServer server{.schema = schema, .security = {}, .endpoints = {}};
    if (schema.startsWith(QStringLiteral("opc.tcp://"), Qt::CaseInsensitive)) {
      try {
        const std::vector<pyqar::UaEndpointInfo> found =
            endpoints ? endpoints(schema.toStdString())
                      : pyqar::get_ua_endpoints(schema.toStdString());
        QStringList pairs;
        QStringList lines;
        for (const pyqar::UaEndpointInfo& endpoint : found) {
          const QString pair = QString::fromStdString(endpoint.policy) + QStringLiteral(" / ") +
                               QString::fromStdString(endpoint.mode);
          if (!pairs.contains(pair)) pairs << pair;
          QStringList tokens;
          for (const std::string& token : endpoint.user_token_types) {
            tokens << QString::fromStdString(token);
          }
          lines << QStringLiteral("%1  %2  users: %3")
                       .arg(QString::fromStdString(endpoint.url), pair,
                            tokens.isEmpty() ? QStringLiteral("-")
                                             : tokens.join(QStringLiteral(", ")));
        }
        server.security = pairs.isEmpty() ? QStringLiteral("No endpoints offered")
                                          : pairs.join(QStringLiteral(", "));
        server.endpoints = lines.join(QLatin1Char('\n'));
      } catch (const std::exception& e) {
        // The server was found; only its security is unknown, and the operator may still pick it.
        server.security = QStringLiteral("Endpoints unavailable: ") + QString::fromUtf8(e.what());
      }
    }
    servers.push_back(std::move(server));
  }
  return servers;
}
