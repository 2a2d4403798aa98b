// Text between the process code page, which the layers above speak, and the
// UTF-16 of the system's wide functions.
#pragma once

#include <string>

// Text in the process code page as UTF-16; false for bytes that are no text
// in that code page.
bool ToWide(const std::string& text, std::wstring& wide);

// UTF-16 text in the process code page, exactly: no look-alike letters
// ("Omega" for a name that begins with a capital omega). False when the code
// page cannot hold it; text then holds "?" for what does not fit, so that as
// a name it names no file (a path with "?" is refused, not searched or
// opened).
bool ToNarrow(std::wstring wide, std::string& text);
