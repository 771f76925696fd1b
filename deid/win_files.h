// Windows file services of the dialog beyond those in platform.h.
#pragma once

#include <string>

/// The dialog's file search: `pattern` goes to FindFirstFileA as it stands
/// (wildcards match); a text ending in a backslash or colon is searched with
/// "*.*" appended.  Entries "." and "..", hidden and system files and
/// directories are skipped.  True when any entry is left.
bool FileSearchFindsPlainFile(const std::string& pattern);

/// Gives `path` a protected access list with one entry: full access for the
/// user running the program.  False when the file system or the system
/// cannot do it.
bool RestrictToOwner(const std::string& path);
