#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <stdexcept>

MessageBoxFn MessageBoxRecorder::fn() {
  return [this](const MessageBoxRequest& request) {
    boxes.append(request);
    return answer;
  };
}

ScratchDir::ScratchDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }

ScratchDir::~ScratchDir() { QDir::setCurrent(previous_); }

void ScratchDir::write(const QString& name, const QByteArray& bytes) const {
  QFile out(file(name));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size()) {
    qFatal("cannot write %s", qPrintable(out.fileName()));
  }
}

QByteArray ScratchDir::read(const QString& name) const {
  QFile in(file(name));
  if (!in.open(QIODevice::ReadOnly)) {
    return {};
  }
  return in.readAll();
}

void write_sqlite_config(const ScratchDir& dir, const QByteArray& extra,
                         const QStringList& databases, const QString& dbname) {
  QDir(dir.path()).mkpath(QStringLiteral("data"));
  for (const QString& name : databases) {
    dir.write(QStringLiteral("data/") + name + QStringLiteral(".db"), {});
  }
  dir.write(QStringLiteral("config.ini"),
            "[TSDBConnection]\n"
            "driver = sqlite\n"
            "data_dir = data\n"
            "dbname = " +
                dbname.toUtf8() + "\n\n" + extra);
}

ServerTrustCheck::Functions FakeTrustServer::functions() {
  return {.check =
              [this](const std::string& url, const pyqar::UaSecurity& security) {
                if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
                  ran_on_gui_thread = true;
                }
                const std::lock_guard lock(mutex);
                checked_urls.push_back(url);
                checked_security.push_back(security);
                if (!check_error.empty()) throw std::runtime_error(check_error);
                if (answers.empty()) throw std::logic_error("no scripted answer");
                const pyqar::ServerTrust answer = answers.front();
                if (answers.size() > 1) answers.erase(answers.begin());
                return answer;
              },
          .trust =
              [this](const std::string& pki_dir, const std::string& sha1) {
                if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
                  ran_on_gui_thread = true;
                }
                const std::lock_guard lock(mutex);
                if (!trust_error.empty()) throw std::runtime_error(trust_error);
                trusted.push_back(pki_dir + "|" + sha1);
              }};
}

pyqar::ServerTrust FakeTrustServer::untrusted() {
  pyqar::ServerTrust trust;
  trust.state = pyqar::ServerTrust::State::Untrusted;
  trust.certificate = {.subject = "CN=PlantServer, O=Plant",
                       .issuer = "CN=Plant CA",
                       .not_before = "2024-01-01 00:00:00 UTC",
                       .not_after = "2034-01-01 00:00:00 UTC",
                       .sha1_thumbprint = "0A1B2C3D",
                       .sha256_thumbprint = "FFEE0011",
                       .application_uri = "urn:plant:server"};
  trust.rejected_path = "/tmp/pki/rejected/certs/0A1B2C3D.der";
  trust.message = "the certificate is not in the trusted list";
  return trust;
}

pyqar::ServerTrust FakeTrustServer::with_state(pyqar::ServerTrust::State state,
                                               std::string message) {
  pyqar::ServerTrust trust;
  trust.state = state;
  trust.message = std::move(message);
  return trust;
}
