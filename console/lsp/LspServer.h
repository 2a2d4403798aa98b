// tervalo-cli lsp: a language server for record files on standard input and
// output (JSON-RPC 2.0 with Content-Length framing).
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The longest message body read; a longer one is skipped and answered with
// an error.
const size_t kMaxLspMessage = 64u * 1024 * 1024;

// Cuts a byte stream into messages. A body is parsed as it is read, so that a
// large document's text is not held once more as the bytes that carried it.
class LspReader {
public:
    explicit LspReader(std::streambuf& in) : m_in(in) {}
    enum class Got {
        Message,    // ParseBody reads it
        Malformed,  // headers without a usable Content-Length
        TooLong,    // a body beyond kMaxLspMessage, skipped
        End,        // the input ended
    };
    Got Next();
    // The body that Next found; a discarded value where it is not JSON. The
    // rest of the body is read past in any case.
    nlohmann::json ParseBody();
    // The length of the body that Next found.
    size_t Length() const { return m_length; }

private:
    class Byte;
    int Peek();
    void Advance() { ++m_pos; }
    void SkipRest();

    std::streambuf& m_in;
    size_t m_length = 0;
    size_t m_left = 0;  // bytes of the body not yet in the chunk
    std::vector<char> m_chunk;
    size_t m_pos = 0;
    size_t m_end = 0;
};

// Answers the messages that come in until an exit or the end of the input,
// and returns the exit status: 0 after a shutdown, 1 otherwise.
int ServeLsp(std::streambuf& in, std::ostream& out);

// The command: "tervalo-cli lsp [--stdio]".
int TervaloLspMain(int argc, const char* const* argv, std::istream* in, std::ostream& out, std::ostream& err);
