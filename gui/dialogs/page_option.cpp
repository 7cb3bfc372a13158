// Settings, Option page: automatic connection, the login window, token
// insertion, the program run after connecting, network settings.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>

#include "dialog_support.h"
#include "dialogs.h"
#include "property_sheet.h"
#include "ui_page_option.h"

using namespace vlngui;

CPageOption::CPageOption(CPropertySheetSetting* sheet, SheetState& s) : CSheetPage(sheet, s), ui(new Ui::CPageOption) {
  ui->setupUi(this);
  connect(ui->IDC_AUTO, &QRadioButton::clicked, this, [this] { radioChanged(); });
  connect(ui->IDC_MANUAL, &QRadioButton::clicked, this, [this] { radioChanged(); });
  connect(ui->IDC_PROGRAM_BROWSE, &QPushButton::clicked, this, [this] {
    QString path = dlg::openFile(this, QString(), dlg::text(21600));
    if (path.isEmpty()) return;
    if (path.contains(' ')) path = '"' + path + '"';
    ui->IDC_PROGRAM->setText(path);
  });
  connect(ui->IDC_NETWORK, &QPushButton::clicked, this, [this] {
    QString editor = QStandardPaths::findExecutable(QStringLiteral("nm-connection-editor"));
    if (editor.isEmpty() || !dlg::startProgram(editor, {})) dlg::showMessage(this, 22290);
  });
  connect(ui->IDC_MAC_FILTER, &QPushButton::clicked, this, [this] {
    CDlgMacFilter d(this);
    d.allow = s_.macAllow;
    d.deny = s_.macDeny;
    if (dlg::run(d) != QDialog::Accepted) return;
    s_.macAllow = d.allow;
    s_.macDeny = d.deny;
  });
}

CPageOption::~CPageOption() = default;

void CPageOption::onOpen() {
  dlg::applyCaptions(this, 11200, 11299);
  ui->IDC_MAC_FILTER->hide();
  (s_.autoConnect ? ui->IDC_AUTO : ui->IDC_MANUAL)->setChecked(true);
  ui->IDC_SHOW_LOGIN->setChecked(s_.showLogin);
  ui->IDC_TOKEN_INSERT->setChecked(s_.tokenInsert);
  ui->IDC_PROGRAM->setText(s_.program);
  tokenRule();
  if (s_.autoConnect) {
    ui->IDC_SHOW_LOGIN->setEnabled(false);
    ui->IDC_TOKEN_INSERT->setEnabled(false);
  }
}

void CPageOption::tokenRule() {
  bool token = sheet_->loginMethod() == 2;
  ui->IDC_TOKEN_INSERT->setEnabled(token);
  if (!token) ui->IDC_TOKEN_INSERT->setChecked(false);
}

void CPageOption::radioChanged() {
  if (ui->IDC_MANUAL->isChecked()) {
    ui->IDC_SHOW_LOGIN->setEnabled(true);
    ui->IDC_TOKEN_INSERT->setEnabled(true);
    tokenRule();
  } else {
    ui->IDC_SHOW_LOGIN->setChecked(false);
    ui->IDC_SHOW_LOGIN->setEnabled(false);
    tokenRule();
    ui->IDC_TOKEN_INSERT->setChecked(ui->IDC_TOKEN_INSERT->isEnabled());
    ui->IDC_TOKEN_INSERT->setEnabled(false);
  }
  s_.autoConnect = ui->IDC_AUTO->isChecked();
}

void CPageOption::methodChanged(int method) {
  if (!opened() || !ui->IDC_MANUAL->isChecked()) return;
  ui->IDC_TOKEN_INSERT->setEnabled(method == 2);
  ui->IDC_TOKEN_INSERT->setChecked(method == 2);
}

bool CPageOption::validate() {
  s_.autoConnect = ui->IDC_AUTO->isChecked();
  s_.showLogin = ui->IDC_SHOW_LOGIN->isChecked();
  s_.tokenInsert = ui->IDC_TOKEN_INSERT->isChecked();
  s_.program = ui->IDC_PROGRAM->text();
  if (!dlg::singleByte(s_.program)) return dlg::showMessage(this, 22220, s_.program), false;
  return true;
}
