// Shared by the GUI suites: the shipped catalogs as the build tree holds them,
// and a throwaway folder.
#pragma once
#include <gtest/gtest.h>

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

}  // namespace guitest
