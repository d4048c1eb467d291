#pragma once
// CertificateTrustDialog: shows the certificate of a server that is not trusted yet, with what
// an operator needs to judge it (subject, issuer, validity, thumbprints, application URI), and
// asks "Trust" (accepted) or "Reject" (rejected). Made by whoever runs the start (its Qt parent
// is the window); GUI thread only.

#include <QDialog>
#include <QString>

#include "pyqar/ua_security.h"

class QLabel;
class QPushButton;

class CertificateTrustDialog : public QDialog {
  Q_OBJECT

 public:
  CertificateTrustDialog(const QString& url, const pyqar::ServerTrust& trust,
                         QWidget* parent = nullptr);

  // The value shown for a field ("subject", "issuer", "not_before", "not_after", "sha1",
  // "sha256", "application_uri"); empty for an unknown name.
  QString field(const QString& name) const;
  QPushButton* trust_button() const { return trust_button_; }
  QPushButton* reject_button() const { return reject_button_; }

 private:
  QPushButton* trust_button_ = nullptr;  // children of the dialog
  QPushButton* reject_button_ = nullptr;
};
