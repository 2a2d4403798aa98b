// An ordered list of texts.
#pragma once

#include <deque>

#include "CString.h"

// Position of an element while walking a list; NULL past the end.
typedef struct CStringListPosition* POSITION;

class CStringList {
public:
    void AddHead(const CString& text) { m_items.push_front(text); }
    void AddHead(CString&& text) { m_items.push_front(std::move(text)); }
    void AddTail(const CString& text) { m_items.push_back(text); }
    void AddTail(CString&& text) { m_items.push_back(std::move(text)); }

    int GetCount() const { return static_cast<int>(m_items.size()); }
    BOOL IsEmpty() const { return m_items.empty(); }
    void RemoveAll() { m_items.clear(); }

    POSITION GetHeadPosition() const { return m_items.empty() ? nullptr : Encode(0); }
    // Returns the element at pos and advances pos to the next one.
    CString& GetNext(POSITION& pos);
    const CString& GetNext(POSITION& pos) const;

private:
    static POSITION Encode(size_t index) { return reinterpret_cast<POSITION>(index + 1); }
    static size_t Decode(POSITION pos) { return reinterpret_cast<size_t>(pos) - 1; }
    POSITION After(size_t index) const { return index + 1 < m_items.size() ? Encode(index + 1) : nullptr; }

    std::deque<CString> m_items;
};

inline CString& CStringList::GetNext(POSITION& pos) {
    size_t index = Decode(pos);
    pos = After(index);
    return m_items[index];
}

inline const CString& CStringList::GetNext(POSITION& pos) const {
    size_t index = Decode(pos);
    pos = After(index);
    return m_items[index];
}
