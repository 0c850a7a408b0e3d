// Path texts of the installer. A folder path always ends in a backslash; a
// file path is a folder path followed by a relative name, with no other
// normalisation. Texts are 8-bit, in the system's ANSI code page.
#pragma once

#include <string>

// The part before the first NUL character; the whole text when it has none.
// Used on the fixed-size buffers that the shell's path calls fill.
std::string TrimAtNul(const std::string& text);

// The text itself when it ends in a backslash, else the text with one
// backslash appended ("" yields "\"), so a drive root "C:\" stays as it is.
std::string EnsureBackslash(const std::string& text);

// The folder of a program file's path, ending in a backslash:
// "C:\pkg\TARNEX_Install.exe" gives "C:\pkg\", "C:\TARNEX_Install.exe" "C:\".
std::string ProgramFolder(const std::string& programPath);

// True when two paths are the same text apart from the case of ASCII
// letters, which is how the Windows file system compares names.
bool SamePathText(const std::string& a, const std::string& b);
