// tervalo-cli lsp: a language server for record files on standard input and
// output (JSON-RPC 2.0 with Content-Length framing).
#pragma once

#include <istream>
#include <ostream>
#include <string>

// The longest message body read; a longer one is skipped and answered with
// an error.
const size_t kMaxLspMessage = 64u * 1024 * 1024;

// Cuts a byte stream into message bodies.
class LspReader {
public:
    explicit LspReader(std::streambuf& in) : m_in(in) {}
    enum class Got {
        Message,    // body holds one
        Malformed,  // headers without a usable Content-Length
        TooLong,    // a body beyond kMaxLspMessage, skipped
        End,        // the input ended
    };
    Got Next(std::string& body);

private:
    std::streambuf& m_in;
};

// Answers the messages that come in until an exit or the end of the input,
// and returns the exit status: 0 after a shutdown, 1 otherwise.
int ServeLsp(std::streambuf& in, std::ostream& out);

// The command: "tervalo-cli lsp [--stdio]".
int TervaloLspMain(int argc, const char* const* argv, std::istream* in, std::ostream& out, std::ostream& err);
