#include "RecordMerge.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "RecordSorter.h"
#include "RecordText.h"

namespace {

enum Side { kBase, kOurs, kTheirs, kSides };
// What a key's group becomes in the result.
enum Outcome : uint8_t { kNothing, kTakeOurs, kTakeTheirs, kConflict };

const char kByteOrderMark[] = "\xEF\xBB\xBF";

bool LineBefore(std::string_view a, std::string_view b) {
    return CRecordSorter::CompareLines(a.data(), a.size(), b.data(), b.size()) < 0;
}

// The lines that the normal form keeps: the last template line, and every
// other line but blank and empty-value ones.
struct Version {
    bool bad = false;
    bool byteOrderMark = false;
    std::vector<std::string_view> templateLine;  // none or one
    struct Record {
        std::string_view line;
        uint32_t keyLength;  // the bytes before the first comma
        uint32_t group;      // the index of its key
    };
    std::vector<Record> records;
    // The record lines by key: those of key g, in the order of the file, are
    // grouped[start[g]] up to grouped[start[g + 1]].
    std::vector<std::string_view> grouped;
    std::vector<uint32_t> start;
};

Version ReadVersion(std::string_view bytes) {
    RecordLines split = SplitRecordLines(bytes);
    Version v;
    v.bad = split.dataAfterEndMark;
    v.byteOrderMark = split.byteOrderMark;
    v.records.reserve(split.lines.size());
    for (const RecordLine& line : split.lines) {
        size_t comma = 0;
        LineKind kind = ClassifyLine(line.text, comma);
        if (kind == LineKind::Template)
            v.templateLine.assign(1, line.text);
        else if (kind == LineKind::Record)
            v.records.push_back(Version::Record{line.text, static_cast<uint32_t>(comma), 0});
        v.bad = v.bad || IsBadLine(kind);
    }
    return v;
}

// The keys' indexes: open addressing, each slot the hash's high half and
// the group's index + 1 (0: empty), kept at most half full.
class KeyIndex {
public:
    explicit KeyIndex(size_t expected) {
        size_t size = 64;
        while (size < 2 * expected) size *= 2;
        m_slots.assign(size, 0);
    }

    // The index of key in keys, where it is added when it is new.
    uint32_t Find(std::string_view key, std::vector<std::string_view>& keys) {
        uint64_t hash = std::hash<std::string_view>()(key);
        uint64_t tag = hash >> 32;
        for (size_t i = hash & (m_slots.size() - 1);; i = (i + 1) & (m_slots.size() - 1)) {
            uint64_t slot = m_slots[i];
            if (slot == 0) {
                auto group = static_cast<uint32_t>(keys.size());
                keys.push_back(key);
                m_slots[i] = tag << 32 | (group + 1);
                if (2 * keys.size() > m_slots.size()) Grow(keys);
                return group;
            }
            if (slot >> 32 == tag && keys[(slot & 0xFFFFFFFF) - 1] == key)
                return static_cast<uint32_t>((slot & 0xFFFFFFFF) - 1);
        }
    }

private:
    void Grow(const std::vector<std::string_view>& keys) {
        m_slots.assign(m_slots.size() * 2, 0);
        for (uint32_t g = 0; g < keys.size(); ++g) {
            uint64_t hash = std::hash<std::string_view>()(keys[g]);
            size_t i = hash & (m_slots.size() - 1);
            while (m_slots[i] != 0) i = (i + 1) & (m_slots.size() - 1);
            m_slots[i] = (hash >> 32) << 32 | (g + 1);
        }
    }

    std::vector<uint64_t> m_slots;
};

// Where a key's lines stand in byte order: where "key," would. The lines of
// one key share that prefix, and no other key's lines do, so each key's
// lines lie together in the sorted file.
struct KeyOrder {
    uint64_t head[2];  // the first sixteen bytes of "key," (missing ones zero), big-endian
    uint32_t group;
};

uint64_t KeyHead(std::string_view key, size_t part) {
    uint64_t value = 0;
    for (size_t i = 8 * part; i < 8 * part + 8; ++i) {
        unsigned char c = i < key.size() ? static_cast<unsigned char>(key[i]) : i == key.size() ? ',' : 0;
        value = (value << 8) | c;
    }
    return value;
}

bool KeyBefore(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (r != 0) return r < 0;
    if (a.size() == b.size()) return false;
    // Neither key holds a comma: the one that ends meets its comma first.
    if (a.size() < b.size()) return static_cast<unsigned char>(',') < static_cast<unsigned char>(b[n]);
    return static_cast<unsigned char>(a[n]) < static_cast<unsigned char>(',');
}

// Some lines of one side, which may be put in order where they stand.
struct Lines {
    std::string_view* begin;
    std::string_view* end;
    bool empty() const { return begin == end; }
};

// Puts lines in byte order; lines that came in order, as those of a file in
// normal form do, are only looked at.
void Sort(Lines lines) {
    if (!std::is_sorted(lines.begin, lines.end, LineBefore)) std::sort(lines.begin, lines.end, LineBefore);
}

// The same lines, in whatever order; those compared may be left sorted.
bool SameLines(Lines a, Lines b) {
    if (a.end - a.begin != b.end - b.begin) return false;
    if (std::equal(a.begin, a.end, b.begin)) return true;
    Sort(a);
    Sort(b);
    return std::equal(a.begin, a.end, b.begin);
}

Outcome Decide(const Lines (&lines)[kSides]) {
    if (SameLines(lines[kOurs], lines[kBase])) return lines[kTheirs].empty() ? kNothing : kTakeTheirs;
    if (SameLines(lines[kTheirs], lines[kBase]) || SameLines(lines[kOurs], lines[kTheirs]))
        return lines[kOurs].empty() ? kNothing : kTakeOurs;
    return kConflict;
}

class Writer {
public:
    Writer(std::string& text, const MergeOptions& options) : m_text(text), m_options(options) {}

    void Line(std::string_view line) {
        m_text.append(line.data(), line.size());
        m_text.append(m_options.lineEnd.data(), m_options.lineEnd.size());
    }
    void Lines(::Lines lines) {
        Sort(lines);
        for (const std::string_view* line = lines.begin; line != lines.end; ++line) Line(*line);
    }
    void Marker(char c, const char* label) {
        m_text.append(m_options.markerSize, c);
        if (*label) {
            m_text += ' ';
            m_text += label;
        }
        m_text.append(m_options.lineEnd.data(), m_options.lineEnd.size());
    }
    // One group's outcome, lines[] holding each side's lines of it.
    void Group(Outcome outcome, const ::Lines (&lines)[kSides]) {
        if (outcome == kTakeOurs) return Lines(lines[kOurs]);
        if (outcome == kTakeTheirs) return Lines(lines[kTheirs]);
        if (outcome != kConflict) return;
        Marker('<', "ours");
        Lines(lines[kOurs]);
        if (m_options.diff3) {
            Marker('|', "base");
            Lines(lines[kBase]);
        }
        Marker('=', "");
        Lines(lines[kTheirs]);
        Marker('>', "theirs");
    }

private:
    std::string& m_text;
    const MergeOptions& m_options;
};

}  // namespace

MergeOutcome MergeRecordFiles(std::string_view base, std::string_view ours, std::string_view theirs,
                              const MergeOptions& options) {
    Version versions[kSides] = {ReadVersion(base), ReadVersion(ours), ReadVersion(theirs)};
    MergeOutcome result;
    for (int side = 0; side < kSides; ++side) result.bad[side] = versions[side].bad;
    if (result.bad[kBase] || result.bad[kOurs] || result.bad[kTheirs]) return result;

    // Every key of every side, and each side's lines grouped by key.
    std::vector<std::string_view> keys;
    size_t most = 0;
    for (const Version& v : versions) most = std::max(most, v.records.size());
    keys.reserve(most + most / 4);
    KeyIndex index(most);
    for (Version& v : versions)
        for (Version::Record& r : v.records) r.group = index.Find(r.line.substr(0, r.keyLength), keys);
    for (Version& v : versions) {
        v.start.assign(keys.size() + 1, 0);
        for (const Version::Record& r : v.records) ++v.start[r.group + 1];
        for (size_t g = 0; g < keys.size(); ++g) v.start[g + 1] += v.start[g];
        std::vector<uint32_t> fill(v.start.begin(), v.start.end() - 1);
        v.grouped.resize(v.records.size());
        for (const Version::Record& r : v.records) v.grouped[fill[r.group]++] = r.line;
    }
    Lines lines[kSides];
    auto group = [&](uint32_t g) -> const Lines(&)[kSides] {
        for (int side = 0; side < kSides; ++side) {
            Version& v = versions[side];
            lines[side] = Lines{v.grouped.data() + v.start[g], v.grouped.data() + v.start[g + 1]};
        }
        return lines;
    };

    // The keys that leave something in the result, in the result's order.
    std::vector<Outcome> outcomes(keys.size());
    std::vector<KeyOrder> order;
    order.reserve(keys.size());
    for (uint32_t g = 0; g < keys.size(); ++g) {
        outcomes[g] = Decide(group(g));
        if (outcomes[g] != kNothing) order.push_back(KeyOrder{{KeyHead(keys[g], 0), KeyHead(keys[g], 1)}, g});
    }
    std::sort(order.begin(), order.end(), [&keys](const KeyOrder& a, const KeyOrder& b) {
        if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
        if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
        return KeyBefore(keys[a.group], keys[b.group]);
    });

    result.text.reserve(ours.size() + ours.size() / 8 + 64);
    Writer writer(result.text, options);
    // The template line comes first.
    for (int side = 0; side < kSides; ++side) {
        std::vector<std::string_view>& t = versions[side].templateLine;
        lines[side] = Lines{t.data(), t.data() + t.size()};
    }
    Outcome templateOutcome = Decide(lines);
    writer.Group(templateOutcome, lines);
    result.conflicts += templateOutcome == kConflict;
    for (const KeyOrder& k : order) {
        writer.Group(outcomes[k.group], group(k.group));
        result.conflicts += outcomes[k.group] == kConflict;
    }

    bool byteOrderMark = versions[kOurs].byteOrderMark == versions[kBase].byteOrderMark
                             ? versions[kTheirs].byteOrderMark
                             : versions[kOurs].byteOrderMark;
    // A first line that begins with the mark's bytes would be taken for a
    // mark when the file is read again, and lose them: it gets a mark ahead.
    // A conflict marker keeps the start of its line, where tools look for
    // it: the mark goes on a blank line of its own above it, which the
    // normal form drops once the conflict is resolved.
    if (byteOrderMark || result.text.compare(0, 3, kByteOrderMark) == 0) {
        if (result.text.compare(0, options.markerSize, std::string(options.markerSize, '<')) == 0) result.text.insert(0, options.lineEnd.data(), options.lineEnd.size());
        result.text.insert(0, kByteOrderMark);
    }
    return result;
}
