// Files and throwaway folders for tests: each folder's name carries the
// process id, since several test programs run at once on one machine.
#pragma once
#include <string>
#include <vector>

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
std::vector<std::string> lines_of(const std::string& text);
// How often what occurs in text.
size_t count_of(const std::string& text, const std::string& what);
// text as one word for sh, whatever it holds.
std::string shell_quote(const std::string& text);

// A fresh folder under /tmp, removed with everything in it when it goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "velarn-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A throwaway VELARN_ROOT with its data folder, for the life of one test;
// the earlier value comes back afterwards.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::string& path() const { return dir_.path(); }
  std::string data(const std::string& name) const;  // a file in the data folder

 private:
  TempDir dir_;
  std::string old_;
  bool had_old_ = false;
};
