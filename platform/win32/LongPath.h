// Paths as the Windows backend hands them to the system: wide, absolute and
// in the \\?\ form, so that no length limit and no silent rewriting of names
// (trailing dots and spaces, device names) applies.
#pragma once

#include <string>

#include "WindowsHeaders.h"

// The \\?\ form of path (text in the process code page); false with the
// reason in code. pattern: the last component is a search pattern, which
// the system's own rules for what a user typed apply to.
bool LongPath(const std::string& path, std::wstring& result, DWORD& code, bool pattern = false);

// The plain form of a \\?\ path ("C:\dir", "\\server\share"), for the layers
// above; other paths as they are.
std::wstring ShortForm(const std::wstring& path);
