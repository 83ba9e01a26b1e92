// The two file-system services behind safe saving that differ between platforms.
#pragma once

#include <cstdio>
#include <string>

namespace tessaloom::platform {

// Creates the file at path and opens it for binary writing, failing when anything of that name
// already exists. Null on failure, with nothing left behind.
std::FILE* createNewFile(const std::string& path);

// Renames from to to in one step, replacing to when it exists. False on failure, when both names
// are left as they were.
bool replaceFile(const std::string& from, const std::string& to);

}  // namespace tessaloom::platform
