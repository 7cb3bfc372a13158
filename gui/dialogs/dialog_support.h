// What every dialog and page shares: the catalogs they take captions and
// messages from, the one hook through which they show a message box, pick a
// file or start a program (tests replace it), control lookup by id, the
// single-byte text rule and the rule for secrets held in encrypted form.
#pragma once
#include <QString>
#include <QStringList>
#include <functional>

#include "catalog.h"

class QLineEdit;
class QWidget;
class CVlnDialog;

namespace vlngui::dlg {

struct Message {
  int id = 0;             // catalog id (40000 and up: the token catalog)
  QString value;          // shown after an empty line; may be empty
  QString text;           // the whole text as shown
  bool question = false;  // Yes/No rather than OK
};

struct Env {
  const Catalogs* catalogs = nullptr;
  // Returns true for OK or Yes. Unset: a message box with the exclamation
  // icon (or a question box).
  std::function<bool(QWidget* parent, const Message&)> message;
  // An existing file to open; empty when cancelled. Unset: QFileDialog.
  std::function<QString(QWidget* parent, const QString& title, const QString& filter)> openFile;
  // Starts a program without waiting. Unset: QProcess::startDetached.
  std::function<bool(const QString& program, const QStringList& args)> startProgram;
  // Runs a dialog opened from another one to its end and returns its
  // result. Unset: exec().
  std::function<int(CVlnDialog& dialog)> run;
};

// The process-wide environment; the program sets the catalogs at start.
Env& env();

QString text(int id);       // TravixID.txt
QString tokenText(int id);  // VLNTokenID.txt

// Shows catalog text id, an empty line and value ("%s\r\n\r\n%s").
bool showMessage(QWidget* parent, int id, const QString& value = QString());
bool showTokenMessage(QWidget* parent, int code);
// A text that comes whole from elsewhere (the token library's own boxes).
bool showText(QWidget* parent, const QString& text);
bool ask(QWidget* parent, int id);
QString openFile(QWidget* parent, const QString& title, const QString& filter);
int run(CVlnDialog& dialog);
bool startProgram(const QString& program, const QStringList& args);

// The child of root whose controlId property is id, else null.
QWidget* control(QWidget* root, int id);
template <class T>
T* control(QWidget* root, int id) {
  return qobject_cast<T*>(control(root, id));
}

// Every caption control (label, button, group box) with an id in [lo, hi)
// takes the catalog text of that id. An entry the catalog lacks leaves an
// empty caption, as the catalogs are the one source of texts.
void applyCaptions(QWidget* root, int lo, int hi);

// The window title from catalog id, when the catalog has it; the standard
// OK and Cancel buttons take the catalog's wording too.
void applyTitle(QWidget* window, int id);

// False when the text holds kana, kanji or the code page's double-byte
// symbols.
bool singleByte(const QString& text);

// Shows the encrypted value when there is one, else the plain one.
void fillSecret(QLineEdit* field, const QString& plain, const QString& encrypted);
// True (the encrypted value stays in force) when the field still equals a
// non-empty encrypted value; otherwise *plain takes the typed text.
bool keepEncrypted(const QString& field, const QString& encrypted, QString* plain);

}  // namespace vlngui::dlg
