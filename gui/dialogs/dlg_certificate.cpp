// Shows a certificate's subject, issuer, validity and SHA-1 fingerprint.
#include <QDialogButtonBox>
#include <QLabel>

#include "cert_ops.h"
#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_certificate.h"

using namespace vlngui;

CDlgCertificate::CDlgCertificate(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgCertificate) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

CDlgCertificate::~CDlgCertificate() = default;

void CDlgCertificate::load() {
  dlg::applyCaptions(this, 12100, 12110);
  dlg::applyTitle(this, 20203);
  cert::CertInfo info;
  if (cert::DecodeCertificate(certificate, &info) != cert::kDecodeOk) return;
  QString between = dlg::text(12106);
  if (between.isEmpty())
    between = QStringLiteral(" - ");
  else
    between = QStringLiteral(" ") + between + QStringLiteral(" ");
  ui->IDC_FINGERPRINT->setText(info.fingerprint.trimmed());
  ui->IDC_ISSUER->setText(info.issuer);
  ui->IDC_VALIDITY->setText(info.notBefore + between + info.notAfter);
  ui->IDC_SUBJECT->setText(info.subject);
}

void CDlgCertificate::onOk() {
  certificate.clear();
  accept();
}
