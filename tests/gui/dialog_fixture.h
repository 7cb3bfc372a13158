// One fixture for the dialog and settings-sheet suites: the shipped English
// catalogs, every message box, file choice, started program and nested
// dialog captured through the dialogs' hook, and certificates made with the
// openssl tool in a throwaway folder.
#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <functional>

#include "dialog_support.h"
#include "dialogs.h"
#include "gui_test_support.h"
#include "process.h"

namespace guitest {

class DialogTest : public ::testing::Test {
 protected:
  using Run = std::function<void(CVlnDialog&)>;

  void SetUp() override {
    ensure_app();
    catalogs = shipped("en");
    auto& e = vlngui::dlg::env();
    e.catalogs = &catalogs;
    e.message = [this](QWidget*, const vlngui::dlg::Message& m) {
      shown.push_back(m);
      return answer;
    };
    e.openFile = [this](QWidget*, const QString&, const QString&) {
      if (files.empty()) return QString();
      QString f = files.front();
      files.pop_front();
      return f;
    };
    e.startProgram = [this](const QString& program, const QStringList&) {
      started << program;
      return true;
    };
    // A nested dialog is loaded, handed to the next scripted user step (which
    // ends it), or cancelled when the script has none.
    e.run = [this](CVlnDialog& d) {
      d.setResult(QDialog::Rejected);
      d.load();
      if (steps.empty()) return int(QDialog::Rejected);
      Run step = steps.front();
      steps.pop_front();
      step(d);
      return d.result();
    };
  }

  void TearDown() override { vlngui::dlg::env() = vlngui::dlg::Env(); }

  static QLineEdit* edit(QWidget* w, int id) { return vlngui::dlg::control<QLineEdit>(w, id); }
  static void type(QWidget* w, int id, const QString& text) {
    QLineEdit* e = edit(w, id);
    ASSERT_TRUE(e) << id;
    e->clear();
    bool ascii = true;
    for (QChar c : text) ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
      QTest::keyClicks(e, text);
    } else {
      // What an input method hands over when the user commits Japanese text.
      QInputMethodEvent commit;
      commit.setCommitString(text);
      QApplication::sendEvent(e, &commit);
    }
  }
  // Clicks where the box or dot is: a check box or radio button stretched
  // by its layout takes clicks on its indicator and text only.
  static void tick(QAbstractButton* b) {
    ASSERT_TRUE(b);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
  }
  static void clickOk(QWidget* d) {
    auto* box = d->findChild<QDialogButtonBox*>();
    ASSERT_TRUE(box);
    QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
  }
  int lastId() const { return shown.empty() ? 0 : shown.back().id; }

  // A self-signed certificate and its key (PEM files); returns the prefix.
  std::string makeCert(const std::string& cn, const std::string& keyArgs = "-nodes") {
    std::string base = tmp.path() + "/" + cn;
    int st = 0;
    std::string out = run_command("openssl req -x509 -newkey rsa:2048 " + keyArgs + " -days 30 -keyout " + base +
                                      ".key -out " + base + ".crt -subj '/O=Velarn/CN=" + cn + "'",
                                  &st);
    EXPECT_EQ(st, 0) << out;
    return base;
  }

  vlngui::Catalogs catalogs;
  std::vector<vlngui::dlg::Message> shown;
  std::deque<QString> files;
  std::deque<Run> steps;
  QStringList started;
  bool answer = true;
  TempDir tmp;
};

}  // namespace guitest
