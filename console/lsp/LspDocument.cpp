#include "LspDocument.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "../../sorting/RecordSorter.h"
#include "../../sorting/RecordText.h"

using nlohmann::json;

namespace {
const char kByteOrderMark[] = "\xEF\xBB\xBF";
const char kNotNormalMessage[] = "not in normal order";
const char kSource[] = "tervalo";
// Bad lines listed one by one; one more diagnostic counts the rest.
const size_t kMaxListed = 1000;
enum Severity { kError = 1, kInformation = 3 };

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// UTF-16 code units of the UTF-8 character whose first byte is c.
size_t Utf16Units(char c) { return static_cast<unsigned char>(c) >= 0xF0 ? 2 : 1; }

bool Precedes(std::string_view a, std::string_view b) {
    return CRecordSorter::CompareLines(a.data(), a.size(), b.data(), b.size()) < 0;
}
}  // namespace

LspDocument::LspDocument(std::string text, PositionEncoding encoding)
    : m_text(std::move(text)), m_encoding(encoding) {
    IndexLines();
}

void LspDocument::IndexLines() {
    // As many as there are LFs, and one: a large document's index is made
    // without growing through copies of itself.
    std::vector<size_t>().swap(m_lineStarts);
    m_lineStarts.reserve(static_cast<size_t>(std::count(m_text.begin(), m_text.end(), '\n')) + 1);
    m_lineStarts.push_back(0);
    const char* data = m_text.data();
    const char* end = data + m_text.size();
    // From LF to LF, with a look for a lone CR between.
    for (const char* at = data; at < end;) {
        const char* lf = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        const char* stop = lf ? lf : end;
        for (const char* cr = at; (cr = static_cast<const char*>(std::memchr(cr, '\r', static_cast<size_t>(stop - cr))));) {
            if (++cr != lf) m_lineStarts.push_back(static_cast<size_t>(cr - data));
        }
        if (!lf) break;
        at = lf + 1;
        m_lineStarts.push_back(static_cast<size_t>(at - data));
    }
}

void LspDocument::Replace(const LspPosition& from, const LspPosition& to, std::string_view text) {
    size_t a = OffsetOf(from);
    size_t b = OffsetOf(to);
    if (b < a) std::swap(a, b);
    m_text.replace(a, b - a, text.data(), text.size());
    IndexLines();
}

void LspDocument::ReplaceAll(std::string text) {
    m_text = std::move(text);
    IndexLines();
}

size_t LspDocument::ContentEnd(size_t line) const {
    if (line + 1 >= m_lineStarts.size()) return m_text.size();
    size_t end = m_lineStarts[line + 1];
    if (m_text[end - 1] == '\n' && end - 1 > m_lineStarts[line] && m_text[end - 2] == '\r') return end - 2;
    return end - 1;
}

size_t LspDocument::LineEnd(size_t offset) const {
    size_t line = static_cast<size_t>(std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), offset) -
                                      m_lineStarts.begin()) - 1;
    return std::max(offset, ContentEnd(line));
}

LspPosition LspDocument::PositionOf(size_t offset) const {
    offset = std::min(offset, m_text.size());
    LspPosition position;
    position.line = static_cast<size_t>(std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), offset) -
                                        m_lineStarts.begin()) - 1;
    size_t start = m_lineStarts[position.line];
    if (m_encoding == PositionEncoding::Utf8) {
        position.character = offset - start;
    } else {
        for (size_t i = start; i < offset; ++i)
            if (!IsContinuation(m_text[i])) position.character += Utf16Units(m_text[i]);
    }
    return position;
}

size_t LspDocument::OffsetOf(const LspPosition& position) const {
    if (position.line >= m_lineStarts.size()) return m_text.size();
    size_t at = m_lineStarts[position.line];
    size_t end = ContentEnd(position.line);
    if (m_encoding == PositionEncoding::Utf8) {
        at += std::min(position.character, end - at);
        while (at > m_lineStarts[position.line] && at < end && IsContinuation(m_text[at])) --at;
        return at;
    }
    for (size_t units = 0; at < end;) {
        size_t next = units + Utf16Units(m_text[at]);
        if (next > position.character) break;
        units = next;
        do ++at;
        while (at < end && IsContinuation(m_text[at]));
    }
    return at;
}

json LspDocument::Range(size_t from, size_t to) const {
    LspPosition a = PositionOf(from);
    LspPosition b = PositionOf(to);
    return {{"start", {{"line", a.line}, {"character", a.character}}},
            {"end", {{"line", b.line}, {"character", b.character}}}};
}

size_t LspDocument::LineStart(size_t line) const {
    return line < m_lineStarts.size() ? m_lineStarts[line] : m_text.size();
}

namespace {
json Diagnostic(const LspDocument& document, size_t from, size_t to, int severity, const std::string& message) {
    return {{"range", document.Range(from, to)}, {"severity", severity}, {"source", kSource}, {"message", message}};
}
}  // namespace

json DiagnosticsOf(const LspDocument& document) {
    const std::string& text = document.Text();
    json list = json::array();
    // One beyond those listed, to place the count of the rest.
    FaultList faults = LocateFaults(text, kMaxListed + 1);
    // The faults' columns leave a byte-order mark out; positions count it.
    const size_t mark = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
    for (size_t i = 0; i < faults.faults.size(); ++i) {
        const LineFault& fault = faults.faults[i];
        size_t at = document.LineStart(fault.line - 1) + fault.column - 1 + (fault.line == 1 ? mark : 0);
        if (i < kMaxListed) {
            list.push_back(Diagnostic(document, at, document.LineEnd(at), kError, fault.reason));
        } else {
            size_t more = faults.total - kMaxListed;
            list.push_back(Diagnostic(document, at, document.LineEnd(at), kError,
                                      std::to_string(more) + " more bad line" + (more == 1 ? "" : "s")));
        }
    }
    if (faults.total > 0) return list;
    size_t differs = FirstDifferenceFromNormal(text);
    if (differs != std::string_view::npos) {
        size_t start = document.LineStart(document.PositionOf(differs).line);
        list.push_back(Diagnostic(document, start, document.LineEnd(start), kInformation, kNotNormalMessage));
    }
    return list;
}

size_t FirstDifferenceFromNormal(std::string_view bytes) {
    // The normal form is followed piece by piece against the bytes, without
    // being built or sorted. As long as the bytes have matched, the record
    // lines before the i-th are the i smallest, so the i-th line of the
    // normal form is the smallest of the i-th and all after it: the minima
    // of the tails, found in one pass from the end, stand in for the sort.
    // The line list is reused for them: the lines that stay, and in place of
    // each one's offset where the least line from it on is.
    RecordLines split = SplitRecordLines(bytes);
    std::string_view templateLine;
    size_t kept = 0;
    for (const RecordLine& line : split.lines) {
        size_t comma = 0;
        LineKind kind = ClassifyLine(line.text, comma);
        if (kind == LineKind::Template)
            templateLine = line.text;
        else if (kind == LineKind::Record)
            split.lines[kept++] = line;
    }
    split.lines.resize(kept);
    std::vector<RecordLine>& lines = split.lines;
    for (size_t i = kept; i-- > 0;) {
        size_t least = i + 1 < kept ? lines[i + 1].offset : i;
        lines[i].offset = i + 1 < kept && Precedes(lines[least].text, lines[i].text) ? least : i;
    }
    auto normalLine = [&](size_t i) { return lines[lines[i].offset].text; };
    // A first line that begins with the mark's bytes gets a mark of its own.
    bool mark = split.byteOrderMark ||
                (templateLine.empty() && kept > 0 && normalLine(0).substr(0, 3) == kByteOrderMark);

    size_t pos = 0;
    size_t differs = std::string_view::npos;
    auto follow = [&](std::string_view piece) {
        if (differs != std::string_view::npos) return;
        size_t n = std::min(piece.size(), bytes.size() - pos);
        if (piece.data() != bytes.data() + pos) {
            auto miss = std::mismatch(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n),
                                      bytes.begin() + static_cast<std::ptrdiff_t>(pos));
            n = static_cast<size_t>(miss.first - piece.begin());
        }
        pos += n;
        if (n < piece.size()) differs = pos;
    };
    if (mark) follow(kByteOrderMark);
    if (!templateLine.empty()) {
        follow(templateLine);
        follow("\r\n");
    }
    for (size_t i = 0; i < kept && differs == std::string_view::npos; ++i) {
        follow(normalLine(i));
        follow("\r\n");
    }
    if (differs == std::string_view::npos && pos < bytes.size()) differs = pos;
    return differs;
}

namespace {
// Bytes cut after every LF (a mark at the start a piece of its own): the
// pieces that formatting keeps or replaces.
std::vector<std::string_view> Pieces(std::string_view bytes) {
    std::vector<std::string_view> pieces;
    size_t pos = 0;
    if (bytes.substr(0, 3) == kByteOrderMark) {
        pieces.push_back(bytes.substr(0, 3));
        pos = 3;
    }
    while (pos < bytes.size()) {
        size_t lf = bytes.find('\n', pos);
        size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
        pieces.push_back(bytes.substr(pos, end - pos));
        pos = end;
    }
    return pieces;
}

// The longest run of indexes (not -1) that grows strictly, as positions in
// seq, in order.
std::vector<size_t> LongestIncreasing(const std::vector<long long>& seq) {
    std::vector<size_t> tails;  // tails[k]: where the best run of length k + 1 ends
    std::vector<size_t> before(seq.size(), SIZE_MAX);
    for (size_t i = 0; i < seq.size(); ++i) {
        if (seq[i] < 0) continue;
        auto at = std::lower_bound(tails.begin(), tails.end(), seq[i],
                                   [&](size_t t, long long v) { return seq[t] < v; });
        if (at != tails.begin()) before[i] = *(at - 1);
        if (at == tails.end())
            tails.push_back(i);
        else
            *at = i;
    }
    std::vector<size_t> run;
    for (size_t i = tails.empty() ? SIZE_MAX : tails.back(); i != SIZE_MAX; i = before[i]) run.push_back(i);
    std::reverse(run.begin(), run.end());
    return run;
}
}  // namespace

json NormalFormEdits(const LspDocument& document) {
    const std::string& text = document.Text();
    json edits = json::array();
    std::string normal;
    if (NormalFormOf(text, normal) != NormalFormResult::Changed) return edits;
    // The lines that both share, in an order that both share, stay; the rest
    // between them is replaced. The normal form's lines are the document's
    // sorted, so such a common order is a run that grows in the normal
    // form's numbering: the k-th copy of a line is given the k-th place it has
    // there.
    std::vector<std::string_view> from = Pieces(text);
    std::vector<std::string_view> to = Pieces(normal);
    struct Places {
        std::vector<size_t> at;
        size_t next = 0;
    };
    std::unordered_map<std::string_view, Places> places;
    for (size_t i = 0; i < to.size(); ++i) places[to[i]].at.push_back(i);
    std::vector<long long> placeOf(from.size(), -1);
    for (size_t i = 0; i < from.size(); ++i) {
        auto found = places.find(from[i]);
        if (found != places.end() && found->second.next < found->second.at.size())
            placeOf[i] = static_cast<long long>(found->second.at[found->second.next++]);
    }
    std::vector<size_t> kept = LongestIncreasing(placeOf);
    auto offsetOf = [&](size_t piece) {
        return piece < from.size() ? static_cast<size_t>(from[piece].data() - text.data()) : text.size();
    };
    size_t nextFrom = 0;
    size_t nextTo = 0;
    auto replaceUpTo = [&](size_t fromEnd, size_t toEnd) {
        if (fromEnd > nextFrom || toEnd > nextTo) {
            std::string newText;
            for (size_t i = nextTo; i < toEnd; ++i) newText.append(to[i].data(), to[i].size());
            edits.push_back({{"range", document.Range(offsetOf(nextFrom), offsetOf(fromEnd))}, {"newText", newText}});
        }
        nextFrom = fromEnd + 1;
        nextTo = toEnd + 1;
    };
    for (size_t i : kept) replaceUpTo(i, static_cast<size_t>(placeOf[i]));
    replaceUpTo(from.size(), to.size());
    return edits;
}

json SymbolsOf(const LspDocument& document) {
    enum SymbolKind { kClass = 5, kField = 8 };
    const std::string& text = document.Text();
    RecordLines split = SplitRecordLines(text);
    json templates = json::array();
    json keys = json::array();
    for (const RecordLine& line : split.lines) {
        size_t comma = 0;
        LineKind kind = ClassifyLine(line.text, comma);
        if (kind != LineKind::Template && kind != LineKind::Record) continue;
        json symbol = {{"name", std::string(line.text.substr(0, comma))},
                       {"detail", std::string(line.text.substr(comma + 1))},
                       {"kind", kind == LineKind::Template ? kClass : kField},
                       {"range", document.Range(line.offset, line.offset + line.text.size())},
                       {"selectionRange", document.Range(line.offset, line.offset + comma)}};
        (kind == LineKind::Template ? templates : keys).push_back(std::move(symbol));
    }
    for (json& key : keys) templates.push_back(std::move(key));
    return templates;
}
