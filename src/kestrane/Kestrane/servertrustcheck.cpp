#include "Kestrane/servertrustcheck.h"

#include <QWidget>
#include <exception>
#include <stdexcept>
#include <utility>

#include "Kestrane/backgroundjob.h"
#include "Kestrane/certificatetrustdialog.h"
#include "Kestrane/qtshell.h"

struct ServerTrustCheck::Outcome {
  bool trusting = false;  // a failure was in moving the certificate, not in the check
  pyqar::ServerTrust trust;
};

ServerTrustCheck::ServerTrustCheck(QWidget* window, Functions functions, MessageBoxFn message_box,
                                   QObject* parent)
    : QObject(parent),
      window_(window),
      functions_(std::move(functions)),
      message_box_(std::move(message_box)),
      job_(std::make_unique<BackgroundJob>()) {
  if (!functions_.check) functions_.check = &pyqar::check_server_trust;
  if (!functions_.trust) functions_.trust = &pyqar::trust_rejected_certificate;
  connect(job_.get(), &BackgroundJob::finished, this,
          [this] { run_guarded([this] { on_checked(); }, message_box_); });
}

ServerTrustCheck::~ServerTrustCheck() = default;

bool ServerTrustCheck::needed(const QString& url, const pyqar::UaSecurity& security) {
  return url.trimmed().startsWith(QStringLiteral("opc.tcp://"), Qt::CaseInsensitive) &&
         security.policy != pyqar::UaSecurityPolicy::None;
}

void ServerTrustCheck::start(const QString& url, const pyqar::UaSecurity& security) {
  if (running_ || job_->is_running()) throw std::logic_error("a server check is already running");
  running_ = true;
  url_ = url.trimmed();
  security_ = security;
  run_check({});
}

void ServerTrustCheck::cancel() {
  running_ = false;
  job_->cancel();
}

void ServerTrustCheck::run_check(const std::string& sha1_to_trust) {
  auto outcome = std::make_shared<Outcome>();
  outcome_ = outcome;
  job_->start([functions = functions_, url = url_.toStdString(), security = security_,
               sha1_to_trust, outcome](const JobContext&) {
    if (!sha1_to_trust.empty()) {
      outcome->trusting = true;
      functions.trust(security.pki_dir, sha1_to_trust);
      outcome->trusting = false;
    }
    outcome->trust = functions.check(url, security);
  });
}

void ServerTrustCheck::on_checked() {
  // A cancelled check's answer is nobody's business any more.
  if (!running_) return;
  const std::shared_ptr<Outcome> outcome = outcome_;
  if (const std::exception_ptr error = job_->error()) {
    const QString step = outcome->trusting
                             ? QStringLiteral("could not be added to the trusted ones")
                             : QStringLiteral("could not be checked");
    give_up(QStringLiteral("Security Check Failed"),
            QStringLiteral("The certificate of the server at %1 %2:\n\n%3")
                .arg(url_, step, error_message(error)));
    return;
  }
  const pyqar::ServerTrust& trust = outcome->trust;
  switch (trust.state) {
    case pyqar::ServerTrust::State::Trusted:
      end(true);
      return;
    case pyqar::ServerTrust::State::Invalid:
      give_up(QStringLiteral("Server Certificate Invalid"),
              QStringLiteral("The certificate of the server at %1 cannot be used:\n\n%2")
                  .arg(url_, QString::fromStdString(trust.message)));
      return;
    case pyqar::ServerTrust::State::Untrusted:
      ask(trust);
      return;
  }
}

void ServerTrustCheck::ask(const pyqar::ServerTrust& trust) {
  const std::string sha1 = trust.certificate.sha1_thumbprint;
  if (sha1.empty()) {
    give_up(QStringLiteral("Server Certificate Invalid"),
            QStringLiteral("The certificate of the server at %1 has no thumbprint to trust it by.")
                .arg(url_));
    return;
  }
  // A child of the window, deleted when it closes; its answer arrives without a nested loop.
  auto* dialog = new CertificateTrustDialog(url_, trust, window_);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::finished, this, [this, sha1](int result) {
    run_guarded(
        [&] {
          if (!running_) return;
          if (result == QDialog::Accepted) {
            run_check(sha1);
          } else {
            end(false);
          }
        },
        message_box_);
  });
  dialog->open();
}

void ServerTrustCheck::give_up(const QString& title, const QString& text) {
  show_message_box(
      message_box_,
      {.icon = QMessageBox::Critical, .parent = window_, .title = title, .text = text});
  end(false);
}

void ServerTrustCheck::end(bool trusted) {
  running_ = false;
  emit finished(trusted);
}
