#include "dialog_support.h"

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

#include "cp932.h"
#include "dialogs.h"

namespace vlngui::dlg {

Env& env() {
  static Env e;
  return e;
}

QString text(int id) {
  const Catalogs* c = env().catalogs;
  return c ? QString::fromStdString(c->text(id)) : QString();
}

QString tokenText(int id) {
  const Catalogs* c = env().catalogs;
  return c ? QString::fromStdString(c->token_text(id)) : QString();
}

namespace {
bool show(QWidget* parent, Message m) {
  if (m.text.isNull()) m.text = m.id >= 40000 ? tokenText(m.id) : text(m.id);
  if (!m.value.isEmpty()) m.text += QStringLiteral("\n\n") + m.value;
  if (env().message) return env().message(parent, m);
  QString title = text(20101);
  if (m.question)
    return QMessageBox::question(parent, title, m.text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  QMessageBox::warning(parent, title, m.text);
  return true;
}
}  // namespace

bool showMessage(QWidget* parent, int id, const QString& value) {
  return show(parent, Message{id, value, QString(), false});
}

bool showTokenMessage(QWidget* parent, int code) {
  Message m{code, QString(), tokenText(code), false};
  return show(parent, m);
}

bool showText(QWidget* parent, const QString& text) { return show(parent, Message{0, QString(), text, false}); }

bool ask(QWidget* parent, int id) { return show(parent, Message{id, QString(), QString(), true}); }

QString openFile(QWidget* parent, const QString& title, const QString& filter) {
  if (env().openFile) return env().openFile(parent, title, filter);
  return QFileDialog::getOpenFileName(parent, title, QString(), filter);
}

int run(CVlnDialog& dialog) {
  if (env().run) return env().run(dialog);
  return dialog.exec();
}

bool startProgram(const QString& program, const QStringList& args) {
  if (env().startProgram) return env().startProgram(program, args);
  return QProcess::startDetached(program, args);
}

QWidget* control(QWidget* root, int id) {
  for (QWidget* w : root->findChildren<QWidget*>()) {
    QVariant v = w->property("controlId");
    if (v.isValid() && v.toInt() == id) return w;
  }
  return nullptr;
}

void applyCaptions(QWidget* root, int lo, int hi) {
  for (QWidget* w : root->findChildren<QWidget*>()) {
    QVariant v = w->property("controlId");
    if (!v.isValid()) continue;
    int id = v.toInt();
    if (id < lo || id >= hi) continue;
    if (auto* l = qobject_cast<QLabel*>(w))
      l->setText(text(id));
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
      b->setText(text(id));
    else if (auto* g = qobject_cast<QGroupBox*>(w))
      g->setTitle(text(id));
  }
}

void applyTitle(QWidget* window, int id) {
  QString t = text(id);
  if (!t.isEmpty()) window->setWindowTitle(t);
  for (QDialogButtonBox* box : window->findChildren<QDialogButtonBox*>()) {
    QString cancel = text(20215);
    if (QPushButton* b = box->button(QDialogButtonBox::Cancel); b && !cancel.isEmpty()) b->setText(cancel);
    if (QPushButton* b = box->button(QDialogButtonBox::Ok)) b->setText(QStringLiteral("OK"));
  }
}

bool singleByte(const QString& s) { return !velarn::cp932::has_kana_or_kanji(s); }

void fillSecret(QLineEdit* field, const QString& plain, const QString& encrypted) {
  field->setText(encrypted.isEmpty() ? plain : encrypted);
}

bool keepEncrypted(const QString& field, const QString& encrypted, QString* plain) {
  if (!encrypted.isEmpty() && field == encrypted) return true;
  *plain = field;
  return false;
}

}  // namespace vlngui::dlg
