// The HTTP proxy: host, port and optional Basic authentication.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_proxy.h"

using namespace vlngui;

CDlgProxy::CDlgProxy(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgProxy) {
  ui->setupUi(this);
  ui->IDC_PROXY_PORT->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(ui->IDC_PROXY_AUTH, &QCheckBox::clicked, this, [this] { updateEnabling(); });
  connect(ui->IDC_PROXY_HOST, &QLineEdit::textChanged, this, [this] { updateEnabling(); });
  connect(ui->IDC_PROXY_PORT, &QLineEdit::textChanged, this, [this] { updateEnabling(); });
}

CDlgProxy::~CDlgProxy() = default;

void CDlgProxy::load() {
  dlg::applyCaptions(this, 12000, 12059);
  dlg::applyTitle(this, 20206);
  ui->IDC_PROXY_HOST->setText(host);
  ui->IDC_PROXY_PORT->setText(port);
  ui->IDC_PROXY_AUTH->setChecked(authentication);
  ui->IDC_PROXY_USER->setText(userName);
  dlg::fillSecret(ui->IDC_PROXY_PASSWORD, password, encPassword);
  updateEnabling();
}

void CDlgProxy::updateEnabling() {
  bool ready = !ui->IDC_PROXY_HOST->text().isEmpty() && !ui->IDC_PROXY_PORT->text().isEmpty();
  if (!ready) ui->IDC_PROXY_AUTH->setChecked(false);
  ui->IDC_PROXY_AUTH->setEnabled(ready);
  bool auth = ui->IDC_PROXY_AUTH->isChecked();
  ui->IDC_PROXY_USER->setEnabled(auth);
  ui->IDC_PROXY_PASSWORD->setEnabled(auth);
}

void CDlgProxy::onOk() {
  QString h = ui->IDC_PROXY_HOST->text(), p = ui->IDC_PROXY_PORT->text();
  if (!h.isEmpty() && p.isEmpty()) {
    dlg::showMessage(this, 22228);
    return;
  }
  bool auth = ui->IDC_PROXY_AUTH->isChecked();
  QString user, typed;
  bool keep = true;
  if (auth) {
    user = ui->IDC_PROXY_USER->text();
    keep = dlg::keepEncrypted(ui->IDC_PROXY_PASSWORD->text(), encPassword, &typed);
  }
  auto fail = [this](int id, const QString& value, QWidget* field) {
    dlg::showMessage(this, id, value);
    field->setFocus();
  };
  QString pwName = dlg::text(12004).remove(QChar(':')).remove(QChar(0xFF1A)).trimmed();
  if (!dlg::singleByte(h)) return fail(22220, h, ui->IDC_PROXY_HOST);
  if (!dlg::singleByte(p)) return fail(22220, p, ui->IDC_PROXY_PORT);
  if (!dlg::singleByte(user)) return fail(22220, user, ui->IDC_PROXY_USER);
  // The password's text never appears in a message; its caption stands in.
  if (!keep && !dlg::singleByte(typed)) return fail(22220, pwName, ui->IDC_PROXY_PASSWORD);
  if (h.size() > 125) return fail(22222, h, ui->IDC_PROXY_HOST);
  if (user.size() >= 126) return fail(22222, user, ui->IDC_PROXY_USER);
  if (!keep && typed.size() >= 126) return fail(22222, pwName, ui->IDC_PROXY_PASSWORD);
  bool ok = true;
  qulonglong n = p.isEmpty() ? 0 : p.toULongLong(&ok);
  if (!ok || n > 65535) return fail(22224, p, ui->IDC_PROXY_PORT);

  host = h;
  port = p;
  authentication = auth;
  if (auth) {
    userName = user;
    encrypted = keep;
    if (!keep) {
      password = typed;
      encPassword.clear();
    }
  } else {
    encrypted = true;
    userName.clear();
    password.clear();
    encPassword.clear();
  }
  accept();
}
