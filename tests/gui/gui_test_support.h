// Shared by the GUI suites: the shipped catalogs as the build tree holds them,
// and a throwaway folder.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "catalog.h"
#include "files.h"

namespace guitest {

inline std::string self_folder() { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); }

// The shipped catalogs of lang; fails the test when they are missing.
inline vlngui::Catalogs shipped(const std::string& lang) {
  vlngui::Catalogs c;
  std::string folder = vlngui::find_catalog_folder(self_folder(), lang);
  EXPECT_FALSE(folder.empty()) << "no " << lang << " catalogs above " << self_folder();
  EXPECT_TRUE(c.load(folder)) << folder;
  return c;
}

using ::TempDir;

// The one application object of a test binary, made by whichever test needs
// it first. Qt allows one at a time: suites that made and destroyed their own
// among tests that kept one alive left timers and windows of a dead
// application behind, and a later test crashed on them. Never destroyed: a
// QApplication torn down among the static destructors at exit outlives the
// pieces of Qt it needs.
inline void ensure_app() {
  if (qApp) return;
  static int argc = 1;
  static char name[] = "gui_tests";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  new QApplication(argc, argv);
}

}  // namespace guitest
