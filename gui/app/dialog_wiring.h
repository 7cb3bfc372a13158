// The dialogs the main window opens, joined to it at start.
#pragma once

namespace vlngui {
struct Catalogs;
// Hands the dialogs their catalogs and sets the window's dialog hooks.
void WireDialogs(const Catalogs* catalogs);
}  // namespace vlngui
