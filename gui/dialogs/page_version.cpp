// Settings, Version page: what the program is and which build.
#include <QLabel>
#include <QPlainTextEdit>

#include "dialog_support.h"
#include "property_sheet.h"
#include "ui_page_version.h"

using namespace vlngui;

CPageVersion::CPageVersion(CPropertySheetSetting* sheet, SheetState& s)
    : CSheetPage(sheet, s), ui(new Ui::CPageVersion) {
  ui->setupUi(this);
}

CPageVersion::~CPageVersion() = default;

void CPageVersion::onOpen() {
  ui->IDC_ABOUT->setPlainText(dlg::text(11902));
  ui->IDC_VERSION->setText(dlg::text(20003));
  ui->IDC_BUILD->setText(dlg::text(20005));
}
