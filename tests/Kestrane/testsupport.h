#pragma once
// Helpers shared by the desktop program's QtTest tests: a scratch working directory with a
// config.ini, captured message boxes, and a main() that runs a test object under
// KestraneApplication (so errors escaping slots reach the exception hook as in the program).

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Kestrane/kestraneapplication.h"
#include "Kestrane/mainwidget.h"
#include "Kestrane/messagebox.h"
#include "Kestrane/servertrustcheck.h"

// Records every box it is asked to show and answers with `answer`.
class MessageBoxRecorder {
 public:
  MessageBoxFn fn();
  QList<MessageBoxRequest> boxes;
  QMessageBox::StandardButton answer = QMessageBox::Ok;
};

// A temporary folder made the working directory for the lifetime of the object; the previous
// working directory comes back afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  QString path() const { return dir_.path(); }
  QString file(const QString& name) const { return dir_.filePath(name); }
  void write(const QString& name, const QByteArray& bytes) const;
  QByteArray read(const QString& name) const;

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// A config.ini for the embedded database driver in `data`, with the given extra text appended,
// and an empty database file for each name (so the client lists them).
void write_sqlite_config(const ScratchDir& dir, const QByteArray& extra = {},
                         const QStringList& databases = {QStringLiteral("tsdb_default")},
                         const QString& dbname = QStringLiteral("tsdb_default"));

// A secured server's side of the certificate check: each check takes the next scripted answer
// (the last one repeats) or throws; every call is recorded. Its functions run on the check's
// thread while the test waits.
struct FakeTrustServer {
  ServerTrustCheck::Functions functions();
  // An Untrusted answer with every certificate field filled.
  static pyqar::ServerTrust untrusted();
  static pyqar::ServerTrust with_state(pyqar::ServerTrust::State state, std::string message = {});

  std::mutex mutex;
  std::vector<pyqar::ServerTrust> answers;          // guarded by mutex
  std::string check_error;                          // guarded by mutex
  std::string trust_error;                          // guarded by mutex
  std::vector<std::string> checked_urls;            // guarded by mutex
  std::vector<pyqar::UaSecurity> checked_security;  // guarded by mutex
  std::vector<std::string> trusted;                 // "pki_dir|sha1", guarded by mutex
  std::atomic<bool> ran_on_gui_thread{false};
};

// Runs a QtTest object under KestraneApplication.
#define KESTRANE_TEST_MAIN(TestClass)       \
  int main(int argc, char** argv) {         \
    KestraneApplication app(argc, argv);    \
    TestClass test;                         \
    return QTest::qExec(&test, argc, argv); \
  }
