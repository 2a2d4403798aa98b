#include "LspServer.h"

#include <iterator>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <map>
#include <new>

#include <nlohmann/json.hpp>

#include "../CliMain.h"
#include "TervaloVersion.h"
#include "LspDocument.h"

using nlohmann::json;

namespace {
const size_t kMaxHeaderLine = 4096;
const size_t kLargeMessage = 1 << 20;
const char kFixAllKind[] = "source.fixAll.tervalo";
const char kFixAllTitle[] = "Put in normal order";

// The protocol's error codes.
enum ErrorCode {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    kServerNotInitialized = -32002,
};

struct LspError {
    int code;
    std::string message;
};

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && !b[i];
}
}  // namespace

LspReader::Got LspReader::Next() {
    const int eof = std::char_traits<char>::eof();
    size_t length = 0;
    bool haveLength = false;
    bool malformed = false;
    bool anyHeader = false;
    for (;;) {
        // One header line; an overlong one is read to its end and spoils
        // the block.
        std::string line;
        int c;
        while ((c = m_in.sbumpc()) != eof && c != '\n') {
            if (line.size() < kMaxHeaderLine)
                line += static_cast<char>(c);
            else
                malformed = true;
        }
        if (c == eof && line.empty()) return Got::End;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            // Blank lines between messages are passed over.
            if (!anyHeader) {
                if (c == eof) return Got::End;
                continue;
            }
            break;
        }
        if (c == eof) return Got::End;
        anyHeader = true;
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            malformed = true;
            continue;
        }
        if (!EqualsIgnoringCase(line.substr(0, colon), "content-length")) continue;
        size_t first = line.find_first_not_of(" \t", colon + 1);
        size_t last = line.find_last_not_of(" \t");
        size_t value = 0;
        bool number = !haveLength && first != std::string::npos;
        for (size_t i = first; number && i <= last; ++i) {
            char digit = line[i];
            number = digit >= '0' && digit <= '9' && value <= (SIZE_MAX - 9) / 10;
            value = value * 10 + static_cast<size_t>(digit - '0');
        }
        if (number) {
            length = value;
            haveLength = true;
        } else {
            malformed = true;
        }
    }
    // Without a length what follows is read as headers again; with one, the
    // body of a message that is refused is read past.
    if (!haveLength) return Got::Malformed;
    m_length = m_left = length;
    m_pos = m_end = 0;
    if (malformed || length > kMaxLspMessage) {
        SkipRest();
        return malformed ? Got::Malformed : Got::TooLong;
    }
    return Got::Message;
}

int LspReader::Peek() {
    if (m_pos == m_end) {
        // Never more than the body: the next message may not have been sent.
        const size_t kChunk = 1 << 16;
        size_t size = std::min(m_left, kChunk);
        if (m_chunk.size() < size) m_chunk.resize(size);
        std::streamsize want = static_cast<std::streamsize>(size);
        std::streamsize got = want > 0 ? m_in.sgetn(m_chunk.data(), want) : 0;
        if (got <= 0) {
            m_left = 0;
            return std::char_traits<char>::eof();
        }
        m_left -= static_cast<size_t>(got);
        m_pos = 0;
        m_end = static_cast<size_t>(got);
    }
    return static_cast<unsigned char>(m_chunk[m_pos]);
}

void LspReader::SkipRest() {
    while (Peek() != std::char_traits<char>::eof()) m_pos = m_end;
}

// The body's bytes as the JSON parser takes them: an input iterator that
// meets the end one at the body's end.
class LspReader::Byte {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;

    explicit Byte(LspReader* reader) : m_reader(reader) {}
    char operator*() const { return static_cast<char>(m_reader->Peek()); }
    Byte& operator++() {
        m_reader->Advance();
        return *this;
    }
    bool operator==(const Byte& other) const { return AtEnd() == other.AtEnd(); }
    bool operator!=(const Byte& other) const { return !(*this == other); }

private:
    bool AtEnd() const { return !m_reader || m_reader->Peek() == std::char_traits<char>::eof(); }
    LspReader* m_reader;
};

namespace {
// Builds the message's value as the library's own builder does, but moves
// each string out of the parser instead of copying it: a document's text is
// then held once, not twice, while the message is read.
class MovingBuilder : public json::json_sax_t {
public:
    explicit MovingBuilder(json& root) : m_root(root) {}

    bool null() override { return Put(nullptr); }
    bool boolean(bool value) override { return Put(value); }
    bool number_integer(number_integer_t value) override { return Put(value); }
    bool number_unsigned(number_unsigned_t value) override { return Put(value); }
    bool number_float(number_float_t value, const string_t&) override { return Put(value); }
    bool string(string_t& value) override { return Put(std::move(value)); }
    bool binary(binary_t& value) override { return Put(json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return Open(json::value_t::object); }
    bool key(string_t& name) override {
        m_slot = &(*m_open.back())[name];
        return true;
    }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return Open(json::value_t::array); }
    bool end_array() override { return Close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    template <class Value>
    json* Place(Value&& value) {
        if (m_open.empty()) {
            m_root = json(std::forward<Value>(value));
            return &m_root;
        }
        if (m_open.back()->is_array()) {
            m_open.back()->emplace_back(std::forward<Value>(value));
            return &m_open.back()->back();
        }
        *m_slot = json(std::forward<Value>(value));
        return m_slot;
    }
    template <class Value>
    bool Put(Value&& value) {
        Place(std::forward<Value>(value));
        return true;
    }
    bool Open(json::value_t type) {
        // No message of the protocol nests deeper; a deeper one is refused
        // before it takes much memory.
        const size_t kMaxDepth = 512;
        if (m_open.size() >= kMaxDepth) return false;
        m_open.push_back(Place(type));
        return true;
    }
    bool Close() {
        m_open.pop_back();
        return true;
    }

    json& m_root;
    std::vector<json*> m_open;
    json* m_slot = nullptr;
};
}  // namespace

nlohmann::json LspReader::ParseBody() {
    json message;
    MovingBuilder builder(message);
    if (!json::sax_parse(Byte(this), Byte(nullptr), &builder)) message = json(json::value_t::discarded);
    SkipRest();
    return message;
}

namespace {
class Server {
public:
    explicit Server(std::ostream& out) : m_out(out) {}

    void Handle(json message);
    void ReplyError(const json& id, int code, const std::string& message) {
        Send({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
    }
    bool Exited() const { return m_exited; }
    bool ShutDown() const { return m_shutDown; }

private:
    using Handler = json (Server::*)(json& params);
    struct Method {
        const char* name;
        Handler handler;
    };
    static const Method kRequests[];
    static const Method kNotifications[];

    json Initialize(json& params);
    json Shutdown(json&) {
        m_shutDown = true;
        return nullptr;
    }
    json Ignore(json&) { return nullptr; }
    json DidOpen(json& params);
    json DidChange(json& params);
    json DidClose(json& params);
    json Formatting(json& params) { return NormalFormEdits(Document(params)); }
    json CodeAction(json& params);
    json DocumentSymbol(json& params) { return SymbolsOf(Document(params)); }

    const LspDocument& Document(const json& params) const;
    void Publish(const std::string& uri, const json& version, json diagnostics);
    void Send(const json& message);

    std::ostream& m_out;
    bool m_initialized = false;
    bool m_shutDown = false;
    bool m_exited = false;
    PositionEncoding m_encoding = PositionEncoding::Utf16;
    std::map<std::string, LspDocument> m_documents;
};

const Server::Method Server::kRequests[] = {
    {"initialize", &Server::Initialize},
    {"shutdown", &Server::Shutdown},
    {"textDocument/formatting", &Server::Formatting},
    {"textDocument/codeAction", &Server::CodeAction},
    {"textDocument/documentSymbol", &Server::DocumentSymbol},
};

// Requests are answered in order, each before the next message is read, so
// a cancellation always comes after its answer and changes nothing.
const Server::Method Server::kNotifications[] = {
    {"initialized", &Server::Ignore},
    {"$/cancelRequest", &Server::Ignore},
    {"textDocument/didOpen", &Server::DidOpen},
    {"textDocument/didChange", &Server::DidChange},
    {"textDocument/didClose", &Server::DidClose},
};

void Server::Send(const json& message) {
    // Whatever bytes a document holds, what goes back is valid UTF-8.
    std::string body = message.dump(-1, ' ', false, json::error_handler_t::replace);
    m_out << "Content-Length: " << body.size() << "\r\n\r\n" << body;
    m_out.flush();
}

void Server::Handle(json message) {
    if (message.is_discarded()) return ReplyError(nullptr, kParseError, "the message is not JSON");
    if (!message.is_object()) return ReplyError(nullptr, kInvalidRequest, "the message is not an object");
    auto idAt = message.find("id");
    bool request = idAt != message.end();
    json id = request ? *idAt : json();
    if (request && !id.is_string() && !id.is_number_integer())
        return ReplyError(nullptr, kInvalidRequest, "the id is neither a number nor a string");
    auto methodAt = message.find("method");
    if (methodAt == message.end() || !methodAt->is_string()) {
        // An answer to a request of ours: the server sends none.
        if (request && (message.contains("result") || message.contains("error"))) return;
        return ReplyError(id, kInvalidRequest, "the message names no method");
    }
    const std::string& method = methodAt->get_ref<const std::string&>();
    if (method == "exit" && !request) {
        m_exited = true;
        return;
    }
    if (!m_initialized && method != "initialize") {
        if (request) ReplyError(id, kServerNotInitialized, "the server is not initialized");
        return;
    }
    if (m_shutDown) {
        if (request) ReplyError(id, kInvalidRequest, "the server is shut down");
        return;
    }
    Handler handler = nullptr;
    for (const Method& m : request ? kRequests : kNotifications) {
        if (method == m.name) handler = m.handler;
    }
    if (!handler) {
        if (request) ReplyError(id, kMethodNotFound, "no method " + method);
        return;
    }
    json& params = message["params"];
    try {
        json result = (this->*handler)(params);
        if (request) Send({{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
    } catch (const LspError& e) {
        if (request) ReplyError(id, e.code, e.message);
    } catch (const json::exception& e) {
        if (request) ReplyError(id, kInvalidParams, e.what());
    } catch (const std::bad_alloc&) {
        if (request) ReplyError(id, kInternalError, "out of memory");
    } catch (const std::exception& e) {
        if (request) ReplyError(id, kInternalError, e.what());
    }
}

json Server::Initialize(json& params) {
    if (m_initialized) throw LspError{kInvalidRequest, "the server is initialized already"};
    // UTF-8 positions where the client can take them; UTF-16 otherwise.
    const json offered = params.value("/capabilities/general/positionEncodings"_json_pointer, json::array());
    bool utf8 = offered.is_array() && std::find(offered.begin(), offered.end(), "utf-8") != offered.end();
    m_encoding = utf8 ? PositionEncoding::Utf8 : PositionEncoding::Utf16;
    m_initialized = true;
    return {{"capabilities",
             {{"positionEncoding", utf8 ? "utf-8" : "utf-16"},
              {"textDocumentSync", {{"openClose", true}, {"change", 2}}},
              {"documentFormattingProvider", true},
              {"codeActionProvider", {{"codeActionKinds", {kFixAllKind}}}},
              {"documentSymbolProvider", true}}},
            {"serverInfo", {{"name", "tervalo-cli"}, {"version", TERVALO_VERSION_TEXT}}}};
}

const LspDocument& Server::Document(const json& params) const {
    const std::string& uri = params.at("textDocument").at("uri").get_ref<const std::string&>();
    auto found = m_documents.find(uri);
    if (found == m_documents.end()) throw LspError{kInvalidParams, "the document is not open: " + uri};
    return found->second;
}

void Server::Publish(const std::string& uri, const json& version, json diagnostics) {
    json params = {{"uri", uri}, {"diagnostics", std::move(diagnostics)}};
    if (version.is_number_integer()) params["version"] = version;
    Send({{"jsonrpc", "2.0"}, {"method", "textDocument/publishDiagnostics"}, {"params", std::move(params)}});
}

json Server::DidOpen(json& params) {
    json& item = params.at("textDocument");
    const std::string& uri = item.at("uri").get_ref<const std::string&>();
    // The text is taken over, not copied: a large document is held once.
    std::string& text = item.at("text").get_ref<std::string&>();
    m_documents.erase(uri);
    const LspDocument& document = m_documents.emplace(uri, LspDocument(std::move(text), m_encoding)).first->second;
    Publish(uri, item.value("version", json()), DiagnosticsOf(document));
    return nullptr;
}

json Server::DidChange(json& params) {
    const json& item = params.at("textDocument");
    const std::string& uri = item.at("uri").get_ref<const std::string&>();
    auto found = m_documents.find(uri);
    if (found == m_documents.end()) return nullptr;
    LspDocument& document = found->second;
    for (const json& change : params.at("contentChanges")) {
        const std::string& text = change.at("text").get_ref<const std::string&>();
        auto range = change.find("range");
        if (range == change.end()) {
            document.ReplaceAll(text);
            continue;
        }
        auto position = [](const json& at) {
            return LspPosition{at.at("line").get<size_t>(), at.at("character").get<size_t>()};
        };
        document.Replace(position(range->at("start")), position(range->at("end")), text);
    }
    Publish(uri, item.value("version", json()), DiagnosticsOf(document));
    return nullptr;
}

json Server::DidClose(json& params) {
    const std::string& uri = params.at("textDocument").at("uri").get_ref<const std::string&>();
    if (m_documents.erase(uri)) Publish(uri, json(), json::array());
    return nullptr;
}

json Server::CodeAction(json& params) {
    const LspDocument& document = Document(params);
    json actions = json::array();
    // Offered where the client asks for no kind, or for one that holds it.
    const json only = params.value("/context/only"_json_pointer, json());
    if (only.is_array()) {
        bool wanted = false;
        for (const json& kind : only) {
            if (!kind.is_string()) continue;
            const std::string asked = kind.get<std::string>();
            const std::string ours = kFixAllKind;
            wanted = wanted || ours == asked || ours.compare(0, asked.size() + 1, asked + ".") == 0;
        }
        if (!wanted) return actions;
    }
    json edits = NormalFormEdits(document);
    if (edits.empty()) return actions;
    const std::string& uri = params.at("textDocument").at("uri").get_ref<const std::string&>();
    actions.push_back({{"title", kFixAllTitle}, {"kind", kFixAllKind}, {"edit", {{"changes", {{uri, std::move(edits)}}}}}});
    return actions;
}
}  // namespace

int ServeLsp(std::streambuf& in, std::ostream& out) {
    LspReader reader(in);
    Server server(out);
    while (!server.Exited()) {
        LspReader::Got got = reader.Next();
        if (got == LspReader::Got::End) break;
        if (got == LspReader::Got::Malformed) {
            server.ReplyError(nullptr, kParseError, "the headers give no usable Content-Length");
        } else if (got == LspReader::Got::TooLong) {
            server.ReplyError(nullptr, kInvalidRequest,
                              "the message is longer than " + std::to_string(kMaxLspMessage) + " bytes");
        } else {
            json message;
            try {
                message = reader.ParseBody();
            } catch (const std::bad_alloc&) {
                server.ReplyError(nullptr, kInternalError, "out of memory");
                continue;
            }
#ifdef __GLIBC__
            // The parser's buffers for a large message (a document's text)
            // are free now: their pages go back before the document is
            // judged, rather than staying with the process.
            if (reader.Length() > kLargeMessage) malloc_trim(0);
#endif
            server.Handle(std::move(message));
        }
        if (!out) break;
    }
    return server.ShutDown() ? kCliOk : kCliFailure;
}

int TervaloLspMain(int argc, const char* const* argv, std::istream* in, std::ostream& out, std::ostream& err) {
    static const char kUsage[] = "usage: tervalo-cli lsp [--stdio]";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] ? argv[i] : "";
        if (arg == "--help" || arg == "-h") {
            out << kUsage << "\n\n"
                << "A language server for record files on standard input and output: diagnostics\n"
                   "as one types, formatting into normal order, the fix-all code action\n"
                   "source.fixAll.tervalo and an outline. Editors start it; see tervalo-cli(1).\n";
            return kCliOk;
        }
        // Language clients often pass --stdio: that is how it talks anyway.
        if (arg != "--stdio") {
            err << "tervalo-cli: unknown lsp option '" << arg << "'\n" << kUsage << '\n';
            return kCliUsage;
        }
    }
    if (!in) {
        err << "tervalo-cli: no standard input to read\n";
        return kCliUsage;
    }
    return ServeLsp(*in->rdbuf(), out);
}
