#include "progress_dlg.h"

#include <QLabel>
#include <QMetaObject>
#include <QPointer>

#include "dialog_support.h"
#include "ui_progress_dlg.h"
#include "vlntoken.h"

using namespace vlngui;

CProgressDlg::CProgressDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), ui(new Ui::CProgressDlg) {
  ui->setupUi(this);
  setModal(false);
  setWindowTitle(dlg::text(20101));
}

CProgressDlg::~CProgressDlg() {
  if (installed_) TokenSetProgressSink(nullptr, nullptr);
}

void CProgressDlg::install() {
  TokenSetProgressSink(&CProgressDlg::Sink, this);
  installed_ = true;
}

void CProgressDlg::Sink(void* context, const TokenData*, int event, const char* text) {
  QPointer<CProgressDlg> self = static_cast<CProgressDlg*>(context);
  QString copy = text ? QString::fromUtf8(text) : QString();
  // Queued even on the window's own thread: a message box run here would
  // hold the library's lock for as long as the user takes.
  QMetaObject::invokeMethod(
      self.data(),
      [self, event, copy] {
        if (self) self->handle(event, copy);
      },
      Qt::QueuedConnection);
}

QString CProgressDlg::text() const { return ui->IDC_PROGRESS_TEXT->text(); }

void CProgressDlg::handle(int event, const QString& text) {
  switch (event) {
    case TOKEN_PROGRESS_SHOW:
      ui->IDC_PROGRESS_TEXT->clear();
      show();
      raise();
      break;
    case TOKEN_PROGRESS_TEXT: ui->IDC_PROGRESS_TEXT->setText(text); break;
    case TOKEN_PROGRESS_HIDE:
    case TOKEN_PROGRESS_DESTROY: hide(); break;
    case TOKEN_MESSAGE_BOX: dlg::showText(parentWidget(), text); break;
    default: break;
  }
}
