// The processing notice the main window shows while it waits.
#include <QLabel>

#include "dialog_support.h"
#include "dialogs.h"
#include "ui_dlg_message.h"

using namespace vlngui;

CDlgMessage::CDlgMessage(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), ui(new Ui::CDlgMessage) {
  ui->setupUi(this);
  setModal(false);
  QString t = dlg::text(19002);
  if (!t.isEmpty()) ui->IDC_MESSAGE_TEXT->setText(t);
  setStyleSheet(QStringLiteral("CDlgMessage { border: 1px solid palette(mid); }"));
}

CDlgMessage::~CDlgMessage() = default;

void CDlgMessage::setText(const QString& text) { ui->IDC_MESSAGE_TEXT->setText(text); }
