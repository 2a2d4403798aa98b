#include "UnifiedDiff.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <vector>

namespace {
const int kContext = 3;
// Myers' search in one region stops past this many inserted and deleted lines
// (its trace grows with the square of it: 16 MB at 2000)...
const int kMaxEdits = 2000;
// ...and is not tried again once a diff has spent this many steps in it.
const long long kSearchBudget = 60000000;
// Regions split on lines found once on each side, at most this deep.
const int kMaxAnchorDepth = 8;

const char kReset[] = "\x1b[0m";
const char kNoNewline[] = "\\ No newline at end of file\n";

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (size_t start = 0, end; start < text.size(); start = end) {
        end = std::min(text.find('\n', start), text.size() - 1) + 1;
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Finds an edit script: which lines of a it deletes and which of b it
// inserts. The lines left on each side are equal, pair by pair, in order.
class Differ {
public:
    Differ(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b)
        : deleted(a.size()), inserted(b.size()) {
        // Each distinct line gets a number, so that lines compare as numbers.
        std::unordered_map<std::string_view, int> ids;
        ids.reserve(a.size() + b.size());
        auto id = [&](std::string_view s) { return ids.emplace(s, int(ids.size())).first->second; };
        for (std::string_view line : a) m_a.push_back(id(line));
        for (std::string_view line : b) m_b.push_back(id(line));
        m_countA = m_countB = m_lastA = std::vector<int>(ids.size(), 0);
        std::vector<Region> work{{0, static_cast<int>(a.size()), 0, static_cast<int>(b.size()), 0}};
        while (!work.empty()) {
            Region r = work.back();
            work.pop_back();
            Solve(r, work);
        }
        Shift(deleted, m_a, inserted);
        Shift(inserted, m_b, deleted);
    }

    std::vector<bool> deleted, inserted;

private:
    struct Region { int a0, a1, b0, b1, depth; };

    void Solve(Region r, std::vector<Region>& work) {
        while (r.a0 < r.a1 && r.b0 < r.b1 && m_a[r.a0] == m_b[r.b0]) ++r.a0, ++r.b0;
        while (r.a0 < r.a1 && r.b0 < r.b1 && m_a[r.a1 - 1] == m_b[r.b1 - 1]) --r.a1, --r.b1;
        if (r.a0 == r.a1 || r.b0 == r.b1 || !Shared(r)) return Replace(r);
        if (Myers(r)) return;
        if (r.depth < kMaxAnchorDepth && Anchor(r, work)) return;
        Replace(r);
    }

    // Moves each run of changed lines along the lines equal to it, as diff
    // does: joined to the runs above and below where it can be, then as low as
    // it goes, but back up to end by a change in the other file if it passed one.
    static void Shift(std::vector<bool>& changed, const std::vector<int>& ids,
                      const std::vector<bool>& other) {
        const long n = static_cast<long>(changed.size()), m = static_cast<long>(other.size());
        auto was = [&](long k) { return k >= 0 && k < n && changed[k]; };
        auto facing = [&](long k) { return k >= 0 && k < m && other[k]; };
        long i = 0, j = 0;  // j: the place in the other file that i pairs with
        for (;;) {
            for (; i < n && !changed[i]; ++i)
                while (facing(j++)) {}
            if (i == n) return;
            long start = i, length, corresponding;
            while (was(++i)) {}
            while (facing(j)) ++j;
            do {
                length = i - start;
                while (start > 0 && ids[start - 1] == ids[i - 1]) {
                    changed[--start] = true, changed[--i] = false;
                    while (was(start - 1)) --start;
                    while (facing(--j)) {}
                }
                corresponding = facing(j - 1) ? i : n;
                while (i < n && ids[start] == ids[i]) {
                    changed[start++] = false, changed[i++] = true;
                    while (was(i)) ++i;
                    while (facing(++j)) corresponding = i;
                }
            } while (length != i - start);
            while (corresponding < i) {
                changed[--start] = true, changed[--i] = false;
                while (facing(--j)) {}
            }
        }
    }

    // Deletes all of the region's a lines and inserts all of its b lines.
    void Replace(const Region& r) {
        std::fill(deleted.begin() + r.a0, deleted.begin() + r.a1, true);
        std::fill(inserted.begin() + r.b0, inserted.begin() + r.b1, true);
    }

    // Counts each line's copies in the region, for Shared and Anchor; Clear
    // must follow.
    void Count(const Region& r) {
        for (int i = r.a0; i < r.a1; ++i) ++m_countA[m_a[i]], m_lastA[m_a[i]] = i;
        for (int j = r.b0; j < r.b1; ++j) ++m_countB[m_b[j]];
    }
    void Clear(const Region& r) {
        for (int i = r.a0; i < r.a1; ++i) m_countA[m_a[i]] = 0;
        for (int j = r.b0; j < r.b1; ++j) m_countB[m_b[j]] = 0;
    }
    bool Shared(const Region& r) {
        Count(r);
        const bool shared = std::any_of(m_b.begin() + r.b0, m_b.begin() + r.b1,
                                        [&](int id) { return m_countA[id] > 0; });
        Clear(r);
        return shared;
    }

    // Myers' greedy search for a shortest edit script, keeping each step's
    // furthest reaches to trace the path back. False when it gives up.
    bool Myers(const Region& r) {
        const int n = r.a1 - r.a0, m = r.b1 - r.b0;
        const int* a = m_a.data() + r.a0;
        const int* b = m_b.data() + r.b0;
        const int maxD = std::min(kMaxEdits, n + m);
        std::vector<int> v(2 * maxD + 3, 0);
        const int off = maxD + 1;
        m_trace.clear();
        for (int d = 0; d <= maxD && m_budget > 0; ++d) {
            m_budget -= d + 1;
            for (int k = -d; k <= d; k += 2) {
                const bool down = k == -d || (k != d && v[off + k - 1] < v[off + k + 1]);
                int x = down ? v[off + k + 1] : v[off + k - 1] + 1;
                int y = x - k;
                const int x0 = x;
                while (x < n && y < m && a[x] == b[y]) ++x, ++y;
                m_budget -= x - x0;
                v[off + k] = x;
                if (x >= n && y >= m) {
                    Trace(r, d);
                    return true;
                }
            }
            m_trace.insert(m_trace.end(), v.begin() + off - d, v.begin() + off + d + 1);
        }
        return false;
    }
    void Trace(const Region& r, int d) {
        int x = r.a1 - r.a0, y = r.b1 - r.b0;
        for (; d > 0; --d) {
            // Step d - 1's reaches, for diagonals -(d - 1) to d - 1.
            const int* prev = m_trace.data() + static_cast<size_t>(d - 1) * (d - 1) + (d - 1);
            const int k = x - y;
            const bool down = k == -d || (k != d && prev[k - 1] < prev[k + 1]);
            const int pk = down ? k + 1 : k - 1;
            x = prev[pk];
            y = x - pk;
            (down ? inserted[r.b0 + y] : deleted[r.a0 + x]) = true;
        }
    }

    // Matches the lines found once on each side, the longest run of them in
    // the same order on both, and leaves the regions between them to solve.
    bool Anchor(const Region& r, std::vector<Region>& work) {
        Count(r);
        // Patience sorting over the unique lines' positions in a, in b's order.
        std::vector<int> tops, pairA, pairB, back;
        for (int j = r.b0; j < r.b1; ++j) {
            const int id = m_b[j];
            if (m_countA[id] != 1 || m_countB[id] != 1) continue;
            const int i = m_lastA[id];
            auto below = [&](int p, int value) { return pairA[p] < value; };
            const size_t pile = std::lower_bound(tops.begin(), tops.end(), i, below) - tops.begin();
            back.push_back(pile > 0 ? tops[pile - 1] : -1);
            if (pile == tops.size()) tops.push_back(0);
            tops[pile] = static_cast<int>(pairA.size());
            pairA.push_back(i);
            pairB.push_back(j);
        }
        Clear(r);
        if (tops.empty()) return false;
        int a1 = r.a1, b1 = r.b1;
        for (int p = tops.back(); p >= 0; p = back[p]) {
            work.push_back({pairA[p] + 1, a1, pairB[p] + 1, b1, r.depth + 1});
            a1 = pairA[p];
            b1 = pairB[p];
        }
        work.push_back({r.a0, a1, r.b0, b1, r.depth + 1});
        return true;
    }

    std::vector<int> m_a, m_b, m_countA, m_countB, m_lastA, m_trace;
    long long m_budget = kSearchBudget;
};

// A run of deleted lines [a0, a1) of before and inserted lines [b0, b1) of
// after, with the lines between runs the same on both sides.
struct Change { int a0, a1, b0, b1; };

std::vector<Change> Changes(const std::vector<bool>& deleted, const std::vector<bool>& inserted) {
    std::vector<Change> changes;
    const int n = static_cast<int>(deleted.size()), m = static_cast<int>(inserted.size());
    int i = 0, j = 0;
    while (i < n || j < m) {
        if ((i < n && deleted[i]) || (j < m && inserted[j])) {
            const int i0 = i, j0 = j;
            while (i < n && deleted[i]) ++i;
            while (j < m && inserted[j]) ++j;
            changes.push_back({i0, i, j0, j});
        } else {
            ++i, ++j;
        }
    }
    return changes;
}

// A name as diff writes it: in C quotes when patch would misread it bare. A
// backslash alone leaves it bare, as Windows paths are.
std::string QuoteName(const std::string& name) {
    bool plain = !name.empty();
    for (unsigned char c : name) plain &= c > ' ' && c != 0x7f && c != '"';
    if (plain) return name;
    std::string quoted = "\"";
    for (unsigned char c : name) {
        const char* escape = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n"
                           : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr;
        if (escape) {
            quoted += escape;
        } else if (c < ' ' || c == 0x7f) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            quoted += octal;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

// Appends one line of output: prefix, the line's bytes, and the colour reset
// before its line break.
void AppendLine(std::string& out, char prefix, std::string_view line, const char* color) {
    const bool hasNewline = !line.empty() && line.back() == '\n';
    size_t body = line.size();
    if (hasNewline) body -= body >= 2 && line[body - 2] == '\r' ? 2 : 1;
    if (color) out += color;
    out += prefix;
    out.append(line.data(), body);
    if (color) out += kReset;
    out.append(line.data() + body, line.size() - body);
    if (!hasNewline) (out += '\n') += kNoNewline;
}

void AppendHeader(std::string& out, const std::string& text, const char* color) {
    (out += color ? color + text + kReset : text) += '\n';
}

// "l,s" of a range of s lines starting after line start, as diff numbers it.
std::string Range(int start, int size) {
    if (size == 1) return std::to_string(start + 1);
    return std::to_string(size == 0 ? start : start + 1) + "," + std::to_string(size);
}
}  // namespace

void AppendUnifiedDiff(std::string& out, std::string_view before, std::string_view after,
                       const std::string& oldName, const std::string& newName, DiffStyle style) {
    if (before == after) return;
    const std::vector<std::string_view> a = SplitLines(before), b = SplitLines(after);
    const Differ differ(a, b);
    const std::vector<Change> changes = Changes(differ.deleted, differ.inserted);
    const bool c = style.color;
    const char *bold = c ? "\x1b[1m" : nullptr, *cyan = c ? "\x1b[36m" : nullptr;
    const char *red = c ? "\x1b[31m" : nullptr, *green = c ? "\x1b[32m" : nullptr;
    AppendHeader(out, "--- " + QuoteName(oldName), bold);
    AppendHeader(out, "+++ " + QuoteName(newName), bold);
    const int n = static_cast<int>(a.size());
    for (size_t first = 0; first < changes.size();) {
        // A hunk takes every next change whose context would touch its own.
        size_t last = first;
        while (last + 1 < changes.size() && changes[last + 1].a0 - changes[last].a1 <= 2 * kContext)
            ++last;
        const Change& f = changes[first];
        const Change& l = changes[last];
        const int lead = std::min(kContext, f.a0), trail = std::min(kContext, n - l.a1);
        const int a0 = f.a0 - lead, b0 = f.b0 - lead;
        const std::string from = Range(a0, l.a1 + trail - a0), to = Range(b0, l.b1 + trail - b0);
        AppendHeader(out, "@@ -" + from + " +" + to + " @@", cyan);
        int i = a0;
        for (size_t k = first; k <= last; ++k) {
            for (; i < changes[k].a0; ++i) AppendLine(out, ' ', a[i], nullptr);
            for (; i < changes[k].a1; ++i) AppendLine(out, '-', a[i], red);
            for (int j = changes[k].b0; j < changes[k].b1; ++j) AppendLine(out, '+', b[j], green);
        }
        for (; i < l.a1 + trail; ++i) AppendLine(out, ' ', a[i], nullptr);
        first = last + 1;
    }
}
