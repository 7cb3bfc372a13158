// What the chosen device holds: its library, token, certificate and the
// configuration written on it; and whether the PIN is kept in the profile.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_token_info.h"
#include "vlntoken.h"

using namespace vlngui;

CDlgTokenInfo::CDlgTokenInfo(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgTokenInfo) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(ui->IDC_SAVE_PIN, &QCheckBox::clicked, this, [this] { enablePin(); });
}

CDlgTokenInfo::~CDlgTokenInfo() = default;

void CDlgTokenInfo::enablePin() { ui->IDC_PIN->setEnabled(ui->IDC_SAVE_PIN->isChecked()); }

void CDlgTokenInfo::load() {
  dlg::applyCaptions(this, 12200, 12299);
  dlg::applyTitle(this, 20205);
  dlg::fillSecret(ui->IDC_PIN, pin, encPin);
  ui->IDC_SAVE_PIN->setChecked(!pin.isEmpty() || !encPin.isEmpty());
  enablePin();

  auto set = [](QLabel* l, const char* v) { l->setText(QString::fromUtf8(v)); };
  auto fill = [](std::initializer_list<QLabel*> ls, const QString& t) {
    for (QLabel* l : ls) l->setText(t);
  };
  QList<QLabel*> library = {ui->IDC_LIB_FILE, ui->IDC_LIB_NAME, ui->IDC_LIB_MAKER, ui->IDC_LIB_VERSION};
  if (!token) {
    for (QLabel* l : library) l->setText(dlg::text(21121));
    fill({ui->IDC_SLOT, ui->IDC_TOKEN_LABEL, ui->IDC_TOKEN_MAKER, ui->IDC_MODEL, ui->IDC_SERIAL}, dlg::text(21122));
    fill({ui->IDC_CERT_SUBJECT, ui->IDC_CERT_ISSUER, ui->IDC_CERT_VALIDITY}, dlg::text(21123));
    fill({ui->IDC_CONF_HOST, ui->IDC_CONF_PORT, ui->IDC_CONF_SWITCH}, dlg::text(21121));
    return;
  }
  int rc = TokenGetInfo(token);
  if (rc != TOKEN_OK) dlg::showTokenMessage(this, rc);
  set(ui->IDC_LIB_FILE, token->driver_path);
  set(ui->IDC_LIB_NAME, token->library_title);
  set(ui->IDC_LIB_MAKER, token->manufacturer);
  set(ui->IDC_LIB_VERSION, token->interface_version);
  if (token->token_present) {
    set(ui->IDC_SLOT, token->slot_description);
    set(ui->IDC_TOKEN_LABEL, token->token_label);
    set(ui->IDC_TOKEN_MAKER, token->token_manufacturer);
    set(ui->IDC_MODEL, token->token_model);
    set(ui->IDC_SERIAL, token->serial_number);
  } else {
    fill({ui->IDC_SLOT, ui->IDC_TOKEN_LABEL, ui->IDC_TOKEN_MAKER, ui->IDC_MODEL, ui->IDC_SERIAL}, dlg::text(21122));
  }
  if (token->cert_loaded) {
    set(ui->IDC_CERT_SUBJECT, token->cert_subject);
    set(ui->IDC_CERT_ISSUER, token->cert_issuer);
    set(ui->IDC_CERT_VALIDITY, token->cert_expiry);
  } else {
    fill({ui->IDC_CERT_SUBJECT, ui->IDC_CERT_ISSUER, ui->IDC_CERT_VALIDITY}, dlg::text(21123));
  }
  if (token->profile_found) {
    set(ui->IDC_CONF_HOST, token->host);
    set(ui->IDC_CONF_PORT, token->port);
    set(ui->IDC_CONF_SWITCH, token->switch_name);
  } else {
    fill({ui->IDC_CONF_HOST, ui->IDC_CONF_PORT, ui->IDC_CONF_SWITCH}, dlg::text(21121));
  }
}

void CDlgTokenInfo::onOk() {
  savePin = ui->IDC_SAVE_PIN->isChecked();
  if (savePin) encrypted = dlg::keepEncrypted(ui->IDC_PIN->text(), encPin, &pin);
  accept();
}
