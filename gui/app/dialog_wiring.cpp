// Joins the main window to the dialogs: the window asks through its hooks,
// the dialogs library answers, and neither needs the other to be tested.
#include <QDialog>

#include "dialog_wiring.h"
#include "entry_points.h"
#include "main_connection.h"

namespace vlngui {

namespace {

bool run_settings(QWidget* parent, CMainFileFunction& store) {
  // The sheet may replace the chosen device's record; the window keeps it.
  auto* window = dynamic_cast<CMainConnection*>(&store);
  TokenData* token = window ? window->tokenRecord() : nullptr;
  int result = dlg::RunSettingsSheet(parent, store, &token);
  if (window && token != window->tokenRecord()) window->setTokenRecord(token);
  return result == QDialog::Accepted;
}

}  // namespace

void WireDialogs(const Catalogs* catalogs) {
  dlg::SetCatalogs(catalogs);
  DialogHooks::settings = run_settings;
  DialogHooks::proxy = dlg::RunProxySetup;
}

}  // namespace vlngui
