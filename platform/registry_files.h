// What the registry's file store (registry.cpp, portable) asks of the file
// system: the tree-wide lock, folders, whole files read and replaced. The
// registry's own layout and text format stay with the store. Failures leave
// errno set, for the store's messages.
#pragma once
#include <string>
#include <vector>

namespace velarn::registry_files {

// Holds the registry-wide lock (the file ".lock" at the top of dir) for the
// lifetime of the object. The lock file is root's alone, so no other user
// can freeze the registry by holding it; those users read without it (every
// values file is replaced whole by a rename, so a reader never sees half a
// file). Waits are bounded: a holder that hangs makes a writer fail, and a
// reader go on without the lock.
class TreeLock {
 public:
  TreeLock(const std::string& dir, bool exclusive);
  ~TreeLock();
  TreeLock(const TreeLock&) = delete;
  TreeLock& operator=(const TreeLock&) = delete;
  // The lock is held, or this is a reader that goes on without it.
  bool held() const { return handle_ >= 0 || unlocked_reader_; }

 private:
  int handle_ = -1;
  bool unlocked_reader_ = false;
};

bool is_dir(const std::string& path);
// The names of the folders in path, leaving out those that start with '.'
// (the store's own files); none when path cannot be read.
std::vector<std::string> folders_in(const std::string& path);
// One folder level made (true also when it was there already).
bool make_folder(const std::string& path);
// path and all below it removed; true also when path was not there.
bool remove_tree(const std::string& path);
bool rename_path(const std::string& from, const std::string& to);

enum class Read { kDone, kMissing, kFailed };
Read read_whole(const std::string& file, std::string& text);

// text written to tmp, flushed to the disk, then renamed over file: a crash
// leaves either the old file or the new one, never an empty one.
enum class Replace { kDone, kWriteFailed, kRenameFailed };
Replace replace_file(const std::string& file, const std::string& tmp, const std::string& text);

// This process's number, for names of temporary files no other process
// picks.
unsigned long process_id();

}  // namespace velarn::registry_files
