// libFuzzer target: the language server's framing and dispatch, and its
// document model. The input bytes go to the server twice, as they are and
// after an initialize, and the server must answer in well-framed JSON and
// end; the same bytes as a document must give edits that lead to the
// sorter's normal form, and a first difference where the normal form's bytes
// first differ. Any violation aborts.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "../../console/lsp/LspDocument.h"
#include "../../console/lsp/LspServer.h"
#include "../../sorting/RecordText.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

// Every message the server wrote is framed right and is JSON.
void CheckOutput(const std::string& out) {
    size_t pos = 0;
    while (pos < out.size()) {
        static const char kHead[] = "Content-Length: ";
        Check(out.compare(pos, sizeof kHead - 1, kHead) == 0, "output message without Content-Length");
        size_t end = out.find("\r\n\r\n", pos);
        Check(end != std::string::npos, "output headers not ended");
        size_t length = std::strtoul(out.c_str() + pos + sizeof kHead - 1, nullptr, 10);
        Check(end + 4 + length <= out.size(), "output body shorter than its length");
        Check(nlohmann::json::accept(out.substr(end + 4, length)), "output body is not JSON");
        pos = end + 4 + length;
    }
}

void Serve(const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out;
    int status = ServeLsp(*in.rdbuf(), out);
    Check(status == 0 || status == 1, "exit status neither 0 nor 1");
    CheckOutput(out.str());
}

std::string Framed(const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body; }

// The edits, in the document's own positions, applied from the last.
std::string Applied(const LspDocument& document, const nlohmann::json& edits) {
    std::string text = document.Text();
    size_t after = text.size();
    for (size_t i = edits.size(); i-- > 0;) {
        auto at = [&](const nlohmann::json& p) {
            return document.OffsetOf(LspPosition{p["line"].get<size_t>(), p["character"].get<size_t>()});
        };
        size_t from = at(edits[i]["range"]["start"]);
        size_t to = at(edits[i]["range"]["end"]);
        Check(from <= to && to <= after, "edits overlap or run backwards");
        text.replace(from, to - from, edits[i]["newText"].get<std::string>());
        after = from;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    Serve(input);
    static const std::string kInitialize =
        Framed(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{}}})");
    Serve(kInitialize + input);

    // The bytes as a document, with byte positions so that any bytes do.
    const bool bad = LocateFaults(input, 1).total > 0;
    std::string normal;
    const NormalFormResult form = NormalFormOf(input, normal);
    LspDocument document(input, PositionEncoding::Utf8);
    for (size_t offset = 0; offset <= input.size(); ++offset) {
        if (offset < input.size() && (static_cast<unsigned char>(input[offset]) & 0xC0) == 0x80) continue;
        if (offset > 0 && input[offset - 1] == '\r' && offset < input.size() && input[offset] == '\n') continue;
        Check(document.OffsetOf(document.PositionOf(offset)) == offset, "position and offset disagree");
    }
    nlohmann::json diagnostics = DiagnosticsOf(document);
    // The errors sit where the CLI locates the faults (its columns leave a
    // byte-order mark out).
    const FaultList faults = LocateFaults(input, 1000);
    const bool mark = input.compare(0, 3, "\xEF\xBB\xBF") == 0;
    for (size_t i = 0; i < faults.faults.size(); ++i) {
        const nlohmann::json& start = diagnostics[i]["range"]["start"];
        const LineFault& fault = faults.faults[i];
        Check(start["line"] == fault.line - 1 &&
                  start["character"] == fault.column - 1 + (mark && fault.line == 1 ? 3 : 0) &&
                  diagnostics[i]["message"] == fault.reason,
              "an error elsewhere than the CLI locates it");
    }
    Check(bad == (form == NormalFormResult::Bad), "bad by the faults but not by the sorter");
    if (bad) {
        Check(!diagnostics.empty() && diagnostics[0]["severity"] == 1, "a bad document without an error");
        Check(NormalFormEdits(document).empty(), "edits for a bad document");
        return 0;
    }
    const size_t differs = FirstDifferenceFromNormal(input);
    Check((differs == std::string::npos) == (form == NormalFormResult::Normal), "normal by one, not by the other");
    Check(diagnostics.size() == (differs == std::string::npos ? 0u : 1u), "wrong number of diagnostics");
    if (differs == std::string::npos) {
        Check(NormalFormEdits(document).empty(), "edits for a document in normal form");
        return 0;
    }
    size_t same = 0;
    while (same < input.size() && same < normal.size() && input[same] == normal[same]) ++same;
    Check(differs == same, "the first difference is elsewhere");
    Check(Applied(document, NormalFormEdits(document)) == normal, "the edits do not give the normal form");
    return 0;
}
