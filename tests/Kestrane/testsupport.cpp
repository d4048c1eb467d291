#include "testsupport.h"

#include <QDir>
#include <QFile>

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
