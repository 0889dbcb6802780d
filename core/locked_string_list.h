#pragma once

#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/compact_recursive_mutex.h"

// A doubly linked list of texts with a re-entrant lock of its own. It holds an entry's
// addresses and the upstream server lists. Every operation takes
// the lock for its whole run; a caller that needs several steps to be atomic (or walks the list
// by positions) holds Lock() around them.
class CLockedStringList {
public:
    using Position = std::list<std::string>::const_iterator;

    // With unique set, appending a text that the list already holds adds nothing.
    explicit CLockedStringList(bool unique = true) : m_unique(unique) {}
    CLockedStringList(const CLockedStringList&) = delete;
    CLockedStringList& operator=(const CLockedStringList&) = delete;
    ~CLockedStringList() = default;

    [[nodiscard]] std::unique_lock<CCompactRecursiveMutex> Lock() const {
        return std::unique_lock(m_lock);
    }

    // The first equal text after `after` (from the head when none is given).
    [[nodiscard]] std::optional<Position> Find(std::string_view text,
                                               std::optional<Position> after = std::nullopt) const;
    // Appends every text of `other` in order, without the duplicate test.
    void AddTail(const CLockedStringList& other);
    // Appends the text unless the list is unique and holds it already; the new position or none.
    std::optional<Position> AddTail(std::string text);

    // Replaces the texts with those of `other`, dropping duplicates when the list is unique.
    void Copy(const CLockedStringList& other);
    // Splits `text` at each separator and appends the tokens not yet held, in order. A token that
    // ends at a separator is appended even when empty; the text after the last separator only
    // when it is not. Returns the number of texts appended.
    int SplitUnique(std::string_view text, char separator);
    // Splits `text` at the first of `separators`, in their order, that occurs anywhere in it;
    // the others then count as ordinary characters. A text holding none of them is one token,
    // appended when it is not empty and not held yet. Returns the number of texts appended.
    int SplitUnique(std::string_view text, std::string_view separators);
    // The texts joined by the separator, none at the end; "" for an empty list.
    [[nodiscard]] std::string JoinList(char separator) const;

    void RemoveAll();
    void RemoveAt(Position position);
    // Removes the first text equal to `text`; false when there is none.
    bool RemoveFirst(std::string_view text);

    [[nodiscard]] bool IsUnique() const { return m_unique; }
    [[nodiscard]] int GetCount() const;
    [[nodiscard]] bool IsEmpty() const { return GetCount() == 0; }
    // The first text, or none for an empty list.
    [[nodiscard]] std::optional<std::string> GetHead() const;
    // Positions are valid only while the caller holds Lock().
    [[nodiscard]] Position Begin() const { return m_texts.cbegin(); }
    [[nodiscard]] Position End() const { return m_texts.cend(); }
    // A copy of the texts in order, taken under the lock.
    [[nodiscard]] std::vector<std::string> Texts() const;

private:
    mutable CCompactRecursiveMutex m_lock;
    std::list<std::string> m_texts;
    bool m_unique;
};
