// Text output of a console program. The program's text is in the process code
// page (UTF-8 under the application manifest). On a console it is shown
// through the console's wide-character API, so that every character comes
// out right whatever code page the console has (which is left as the user set
// it); to a pipe or a file the bytes go as before, unchanged.
#pragma once

#include <memory>
#include <streambuf>
#include <string>

#include "WindowsHeaders.h"

// A stream buffer that shows text on the console that console names.
class ConsoleOutputBuf : public std::streambuf {
public:
    explicit ConsoleOutputBuf(HANDLE console);
    ~ConsoleOutputBuf() override;
    ConsoleOutputBuf(const ConsoleOutputBuf&) = delete;
    ConsoleOutputBuf& operator=(const ConsoleOutputBuf&) = delete;

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    // Shows what is pending. Unless all, a character whose bytes have not
    // all come yet waits for the rest. False when the console refused.
    bool Flush(bool all);

    HANDLE m_console;
    UINT m_codePage;
    std::string m_pending;
};

// For the life of the object, std::cout and std::cerr go through a
// ConsoleOutputBuf each where they are a console; at the end they are
// flushed and get their own buffers back.
class ConsoleStandardStreams {
public:
    ConsoleStandardStreams();
    ~ConsoleStandardStreams();
    ConsoleStandardStreams(const ConsoleStandardStreams&) = delete;
    ConsoleStandardStreams& operator=(const ConsoleStandardStreams&) = delete;

private:
    std::unique_ptr<ConsoleOutputBuf> m_out, m_err;
    std::streambuf* m_oldOut = nullptr;
    std::streambuf* m_oldErr = nullptr;
};
