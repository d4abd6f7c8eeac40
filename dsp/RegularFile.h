#pragma once
// Opening files the user names for reading. Only regular files are read: a
// FIFO would block the caller until somebody writes to it, a directory or a
// device node (/dev/zero, /dev/urandom) would feed it garbage without end.
// The file is opened without waiting and checked through its descriptor, so
// a name swapped for a FIFO between a check and the open cannot block either.
#include <cstdio>
#include <string>

namespace stravik {

// Opens path for reading ("rb"). nullptr when it cannot be opened or is not a
// regular file; why (may be null) then receives a short reason such as
// "not a regular file" or the system's text.
std::FILE* openRegularFile(const std::string& path, std::string* why = nullptr);

// True when path names a regular file (after following symbolic links).
bool isRegularFile(const std::string& path);

} // namespace stravik
