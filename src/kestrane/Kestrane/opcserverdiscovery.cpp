#include "opcserverdiscovery.h"

#include <algorithm>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/qar_types.h"

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
