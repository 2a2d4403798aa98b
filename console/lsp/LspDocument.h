// One record file open in an editor, as the language server holds it: the
// text as the editor sent it (UTF-8 bytes), where its lines start, and the
// translation between byte offsets and the editor's positions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// How a position's character counts: bytes of UTF-8, or UTF-16 code units
// (the protocol's default).
enum class PositionEncoding { Utf8, Utf16 };

struct LspPosition {
    size_t line = 0;
    size_t character = 0;
};

class LspDocument {
public:
    LspDocument(std::string text, PositionEncoding encoding);

    const std::string& Text() const { return m_text; }
    // Replaces the bytes between two positions (a change the editor made).
    void Replace(const LspPosition& from, const LspPosition& to, std::string_view text);
    void ReplaceAll(std::string text);

    // Lines end at LF, CR LF and a lone CR, as the protocol counts them.
    size_t LineCount() const { return m_lineStarts.size(); }
    size_t LineStart(size_t line) const;
    LspPosition PositionOf(size_t offset) const;
    // Positions past a line's end mean its end, past the last line the
    // text's end; one inside a character means its start.
    size_t OffsetOf(const LspPosition& position) const;
    // Where the line holding offset ends, its line break left out.
    size_t LineEnd(size_t offset) const;
    nlohmann::json Range(size_t from, size_t to) const;

private:
    void IndexLines();
    size_t ContentEnd(size_t line) const;

    std::string m_text;
    PositionEncoding m_encoding;
    std::vector<size_t> m_lineStarts;
};

// The diagnostics of the whole document, as publishDiagnostics carries them.
nlohmann::json DiagnosticsOf(const LspDocument& document);
// Edits after which the document is its normal form; none when it is bad or
// already normal.
nlohmann::json NormalFormEdits(const LspDocument& document);
// The outline: the template line, then every key, one entry per line.
nlohmann::json SymbolsOf(const LspDocument& document);

// Where bytes first differ from their normal form: npos when they are in
// normal form. Meaningful for a good file only.
size_t FirstDifferenceFromNormal(std::string_view bytes);
