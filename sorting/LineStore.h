// The record lines of one file while it is sorted: a store that keeps copies
// of them in a few large blocks, and the keys that the sort moves about.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "RecordSorter.h"

// Keeps copies of lines in blocks that grow with the file, so that a file of
// many short lines costs a few allocations, not one per line. Each entry is
// the line's length (7 bits a byte, low bits first) followed by its bytes;
// entries stay where they are as long as the store, which can walk them in
// the order they were added (so it needs no list of its own beside it).
class LineStore {
public:
    const char* Add(std::string_view line) {
        size_t need = line.size() + kMaxLengthBytes;
        if (m_room < need) {
            m_nextBlock = std::min(m_nextBlock * 2, kMaxBlock);
            size_t size = std::max(m_nextBlock, need);
            m_blocks.push_back(Block{std::unique_ptr<char[]>(new char[size]), 0});
            m_free = m_blocks.back().data.get();
            m_room = size;
        }
        char* entry = m_free;
        char* at = entry;
        size_t n = line.size();
        for (; n >= 0x80; n >>= 7) *at++ = static_cast<char>((n & 0x7F) | 0x80);
        *at++ = static_cast<char>(n);
        if (!line.empty()) std::memcpy(at, line.data(), line.size());
        at += line.size();
        m_room -= static_cast<size_t>(at - m_free);
        m_blocks.back().used += static_cast<size_t>(at - m_free);
        m_free = at;
        ++m_count;
        return entry;
    }

    size_t Count() const { return m_count; }

    // Calls visit(entry) for every entry, oldest first.
    template <class Visit>
    void ForEach(Visit visit) const {
        for (const Block& block : m_blocks) {
            const char* at = block.data.get();
            const char* end = at + block.used;
            while (at < end) {
                visit(at);
                std::string_view line = View(at);
                at = line.data() + line.size();
            }
        }
    }

    static std::string_view View(const char* entry) {
        size_t n = 0;
        unsigned shift = 0;
        unsigned char byte;
        do {
            byte = static_cast<unsigned char>(*entry++);
            n |= static_cast<size_t>(byte & 0x7F) << shift;
            shift += 7;
        } while (byte & 0x80);
        return std::string_view(entry, n);
    }

private:
    static constexpr size_t kMaxLengthBytes = (sizeof(size_t) * 8 + 6) / 7;
    static constexpr size_t kMaxBlock = 4 * 1024 * 1024;
    struct Block {
        std::unique_ptr<char[]> data;
        size_t used;
    };
    std::vector<Block> m_blocks;
    size_t m_count = 0;
    size_t m_nextBlock = 8 * 1024;
    char* m_free = nullptr;
    size_t m_room = 0;
};

// A record line as the sort sees it: where the store keeps it, and its first
// sixteen bytes as two numbers (the missing ones of a shorter line as zero).
// Where such numbers differ they order the lines as CompareLines does; only
// where both are equal must the lines themselves be compared. Keys share
// their first eight bytes often enough (a common word at the start) that
// eight alone would leave many comparisons to the store, each a cache miss.
struct SortKey {
    uint64_t head[2];
    const char* entry;
};

// Bytes 8 * part .. 8 * part + 7 of line as a big-endian number, missing
// bytes as zero.
inline uint64_t HeadPart(std::string_view line, size_t part) {
    uint64_t value = 0;
    for (size_t i = 8 * part; i < 8 * part + 8; ++i)
        value = (value << 8) | (i < line.size() ? static_cast<unsigned char>(line[i]) : 0u);
    return value;
}

inline SortKey MakeSortKey(const char* entry) {
    std::string_view line = LineStore::View(entry);
    return SortKey{{HeadPart(line, 0), HeadPart(line, 1)}, entry};
}

// A type rather than a function, so that the sort can inline it.
struct SortsBefore {
    bool operator()(const SortKey& a, const SortKey& b) const {
        if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
        if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
        std::string_view x = LineStore::View(a.entry);
        std::string_view y = LineStore::View(b.entry);
        return CRecordSorter::CompareLines(x.data(), x.size(), y.data(), y.size()) < 0;
    }
};
