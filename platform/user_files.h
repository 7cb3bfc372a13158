// Files a user's program (the GUI) writes in folders it may share with
// others, the data folder above all: a name is never followed through a
// symbolic link, so nobody can aim a write or a removal at another file,
// and a replaced file is either the old one or the new one whole.
#pragma once
#include <cstddef>
#include <string>

namespace velarn {

// Writes data to "<path>.tmp" (a stale one removed first, then made anew,
// never through a link), flushes it to the disk and renames it over path.
// False on any failure, the old file untouched and the temporary gone.
bool write_file_replacing(const std::string& path, const void* data, size_t len);

// Makes path as an empty file (mode 0666 less the umask) unless something,
// a link included, has that name already. True when it was made.
bool create_new_file(const std::string& path);

// Removes every entry of folder that is not a folder itself (a link goes,
// never what it points to), then the folder. False when anything stayed
// (a sub-folder keeps the folder in place) or folder is a link or cannot
// be opened.
bool remove_folder_files(const std::string& folder);

}  // namespace velarn
