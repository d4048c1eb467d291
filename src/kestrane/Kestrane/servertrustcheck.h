#pragma once
// ServerTrustCheck: the step of a start that judges a secured OPC UA server's certificate
// before the collector connects. The check runs on a BackgroundJob; an untrusted certificate
// is shown in a CertificateTrustDialog, and "Trust" moves it to the trusted ones and checks
// again. Owned by MainWidget; GUI thread only (the check functions run on the job's thread).

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "Kestrane/messagebox.h"
#include "pyqar/ua_security.h"

class BackgroundJob;
class QWidget;

class ServerTrustCheck : public QObject {
  Q_OBJECT

 public:
  // Empty members mean the OPC library's own functions.
  struct Functions {
    std::function<pyqar::ServerTrust(const std::string& url, const pyqar::UaSecurity& security)>
        check;
    std::function<void(const std::string& pki_dir, const std::string& sha1_thumbprint)> trust;
  };

  ServerTrustCheck(QWidget* window, Functions functions, MessageBoxFn message_box,
                   QObject* parent = nullptr);
  // Waits for a running check's thread: at most one server answer.
  ~ServerTrustCheck() override;

  // Whether a start against `url` with `security` needs the check: an OPC UA address and a
  // policy other than None.
  static bool needed(const QString& url, const pyqar::UaSecurity& security);

  // Checks the server; finished() follows once, when the start may go on or has been given
  // up (the reason then shown). Throws std::logic_error while a check runs.
  void start(const QString& url, const pyqar::UaSecurity& security);
  // Gives the running check up without a word (the window closes): finished() never follows.
  void cancel();
  bool is_running() const { return running_; }

 signals:
  // `trusted`: the certificate is trusted and the collector may connect.
  void finished(bool trusted);

 private:
  // Runs on the job: trusts `sha1` first when it is not empty, then checks.
  void run_check(const std::string& sha1_to_trust);
  void on_checked();
  void ask(const pyqar::ServerTrust& trust);
  void give_up(const QString& title, const QString& text);
  void end(bool trusted);

  QWidget* window_;
  Functions functions_;
  MessageBoxFn message_box_;
  std::unique_ptr<BackgroundJob> job_;
  QString url_;
  pyqar::UaSecurity security_;
  bool running_ = false;
  // What the last job found: written by its thread, read after its finished().
  struct Outcome;
  std::shared_ptr<Outcome> outcome_;
};
