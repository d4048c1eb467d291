#include "Kestrane/certificatetrustdialog.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A thumbprint read in pairs is easier to compare with what the server's operator reads out; a
// long one is split in two even halves rather than wherever the label runs out of room.
QString grouped(const std::string& hex) {
  const QString text = QString::fromStdString(hex);
  const qsizetype pairs = (text.size() + 1) / 2;
  const qsizetype first_line = pairs > 16 ? (pairs + 1) / 2 : pairs;
  QString out;
  for (qsizetype i = 0; i < pairs; ++i) {
    if (i > 0) out += i == first_line ? QLatin1Char('\n') : QLatin1Char(':');
    out += text.mid(2 * i, 2);
  }
  return out;
}

}  // namespace

CertificateTrustDialog::CertificateTrustDialog(const QString& url, const pyqar::ServerTrust& trust,
                                               QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("certificate_trust_dialog"));
  setWindowTitle(QStringLiteral("Untrusted Server Certificate"));
  setMinimumWidth(560);
  auto* layout = new QVBoxLayout(this);

  QString intro =
      QStringLiteral("The server at %1 presented a certificate that is not trusted.").arg(url);
  if (!trust.message.empty()) intro += QLatin1Char('\n') + QString::fromStdString(trust.message);
  intro += QStringLiteral("\nTrust it only when it is the one its operator says it is.");
  auto* intro_label = new QLabel(intro, this);
  intro_label->setObjectName(QStringLiteral("trust_intro"));
  intro_label->setWordWrap(true);
  layout->addWidget(intro_label);

  const pyqar::ServerCertificateInfo& cert = trust.certificate;
  auto* form = new QFormLayout();
  const auto add = [this, form](const char* name, const QString& title, const QString& value) {
    auto* label = new QLabel(value, this);
    label->setObjectName(QStringLiteral("cert_") + QLatin1String(name));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    form->addRow(title, label);
    return label;
  };
  add("subject", QStringLiteral("Subject:"), QString::fromStdString(cert.subject));
  add("issuer", QStringLiteral("Issuer:"), QString::fromStdString(cert.issuer));
  add("not_before", QStringLiteral("Valid from:"), QString::fromStdString(cert.not_before));
  add("not_after", QStringLiteral("Valid until:"), QString::fromStdString(cert.not_after));
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  for (QLabel* thumbprint :
       {add("sha1", QStringLiteral("SHA-1 thumbprint:"), grouped(cert.sha1_thumbprint)),
        add("sha256", QStringLiteral("SHA-256 thumbprint:"), grouped(cert.sha256_thumbprint))}) {
    thumbprint->setFont(fixed);
    thumbprint->setWordWrap(false);
  }
  add("application_uri", QStringLiteral("Application URI:"),
      QString::fromStdString(cert.application_uri));
  layout->addLayout(form);

  auto* buttons = new QDialogButtonBox(this);
  trust_button_ = buttons->addButton(QStringLiteral("Trust"), QDialogButtonBox::AcceptRole);
  trust_button_->setObjectName(QStringLiteral("trust_button"));
  reject_button_ = buttons->addButton(QStringLiteral("Reject"), QDialogButtonBox::RejectRole);
  reject_button_->setObjectName(QStringLiteral("reject_button"));
  // Trusting is the step to think twice about, so Enter does not take it.
  reject_button_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QString CertificateTrustDialog::field(const QString& name) const {
  const auto* label = findChild<QLabel*>(QStringLiteral("cert_") + name);
  return label != nullptr ? label->text() : QString();
}
