// The choice of authentication device among the PKCS#11 modules found.
#include <QDialogButtonBox>
#include <QListWidget>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_token_select.h"
#include "vlntoken.h"

using namespace vlngui;

CDlgTokenSelect::CDlgTokenSelect(QWidget* parent) : CVlnDialog(parent), ui(new Ui::CDlgTokenSelect) {
  ui->setupUi(this);
  connect(ui->buttonBox, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(ui->IDC_DEVICE_LIST, &QListWidget::itemDoubleClicked, this, [this] { onOk(); });
}

CDlgTokenSelect::~CDlgTokenSelect() = default;

void CDlgTokenSelect::load() {
  dlg::applyCaptions(this, 12400, 12410);
  dlg::applyTitle(this, 20204);
  ui->IDC_DEVICE_LIST->clear();
  // A module without a title is dropped from the paths too, so that a row
  // and the path at the same position stay together.
  QStringList listed;
  for (const QString& p : paths) {
    char title[TOKEN_PATH_SIZE] = {};
    TokenGetTitle(p.toUtf8().constData(), title);
    if (!title[0]) continue;
    listed << p;
    ui->IDC_DEVICE_LIST->addItem(QString::fromUtf8(title));
  }
  paths = listed;
  ui->IDC_DEVICE_LIST->addItem(dlg::tokenText(40020));
}

void CDlgTokenSelect::onOk() {
  int row = ui->IDC_DEVICE_LIST->currentRow();
  if (row < 0) {
    path.clear();
    accept();
    return;
  }
  QString chosen;
  if (row == paths.size()) {
    chosen = dlg::openFile(this, dlg::tokenText(40020), dlg::tokenText(40021));
  } else {
    chosen = paths[row];
  }
  TokenData* loaded = nullptr;
  int rc = TokenLoad(chosen.toUtf8().constData(), &loaded);
  if (rc != TOKEN_OK) {
    if (loaded) TokenFree(loaded);
    dlg::showTokenMessage(this, rc);
    return;
  }
  path = chosen;
  title = ui->IDC_DEVICE_LIST->item(row)->text();
  if (row == paths.size()) {
    char t[TOKEN_PATH_SIZE] = {};
    if (TokenGetTitle(chosen.toUtf8().constData(), t) == TOKEN_OK && t[0])
      title = QString::fromUtf8(t);
    else
      title = QString::fromUtf8(loaded->driver_title[0] ? loaded->driver_title : loaded->library_title);
  }
  token = loaded;
  paths.clear();
  accept();
}
