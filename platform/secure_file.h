// Files the root service must not be tricked into using: code and settings an
// administrator chose (token modules, the start-up profile), and the files
// the service writes in a folder that ordinary users may also write to.
#pragma once
#include <cstdio>
#include <string>

#include "platform/dynlib.h"

namespace velarn {

// An administrator's file: a regular file owned by root and not writable by
// group or others, in folders that are all owned by root and writable by
// nobody else (a root-owned folder with the sticky bit counts as safe:
// nobody else can move root's entries in it). The checks and the use see the
// same file: nothing can be swapped in between.

// Loads an administrator's shared object into *lib. False with *reason set;
// no code of the module runs before the checks have passed.
bool load_admin_module(const std::string& path, DynLib* lib, std::string* reason);

// Reads a whole administrator's file. False with *reason set.
bool read_admin_file(const std::string& path, std::string* out, std::string* reason);

// Opens one of the service's own files (logs, trace, session log) for
// writing ("w" truncates, "a" appends): never through a symbolic link or a
// second hard link (such a name is replaced by a fresh file), mode 0640,
// group adm where it exists (else root's), no extended ACL entries whatever
// the folder passes on. nullptr with errno set on failure.
FILE* open_service_file(const std::string& path, const char* mode);

// True when path names a place inside folder, judged by its text: absolute,
// under folder, and without "." or ".." steps that could lead out.
bool path_inside(const std::string& path, const std::string& folder);

}  // namespace velarn
