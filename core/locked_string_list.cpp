#include "core/locked_string_list.h"

#include <algorithm>

std::optional<CLockedStringList::Position> CLockedStringList::Find(
    std::string_view text, std::optional<Position> after) const {
    auto lock = Lock();
    Position from = after ? std::next(*after) : m_texts.cbegin();
    Position found = std::find(from, m_texts.cend(), text);
    if (found == m_texts.cend()) {
        return std::nullopt;
    }
    return found;
}

void CLockedStringList::AddTail(const CLockedStringList& other) {
    if (&other == this) {
        auto lock = Lock();
        const std::list<std::string> copy = m_texts;
        m_texts.insert(m_texts.end(), copy.begin(), copy.end());
        return;
    }
    // Taking the two locks one after the other keeps lists free of any lock order.
    std::vector<std::string> texts = other.Texts();
    auto lock = Lock();
    m_texts.insert(m_texts.end(), std::make_move_iterator(texts.begin()),
                   std::make_move_iterator(texts.end()));
}

std::optional<CLockedStringList::Position> CLockedStringList::AddTail(std::string text) {
    auto lock = Lock();
    if (m_unique && Find(text)) {
        return std::nullopt;
    }
    m_texts.push_back(std::move(text));
    return std::prev(m_texts.cend());
}

void CLockedStringList::Copy(const CLockedStringList& other) {
    if (&other == this) {
        return;
    }
    std::vector<std::string> texts = other.Texts();
    auto lock = Lock();
    m_texts.clear();
    for (std::string& text : texts) {
        AddTail(std::move(text));
    }
}

int CLockedStringList::SplitUnique(std::string_view text, char separator) {
    auto lock = Lock();
    int appended = 0;
    auto append = [&](std::string_view token) {
        if (!Find(token)) {
            m_texts.emplace_back(token);
            ++appended;
        }
    };
    std::size_t start = 0;
    for (std::size_t at = text.find(separator); at != std::string_view::npos;
         at = text.find(separator, start)) {
        append(text.substr(start, at - start));
        start = at + 1;
    }
    if (start < text.size()) {
        append(text.substr(start));
    }
    return appended;
}

int CLockedStringList::SplitUnique(std::string_view text, std::string_view separators) {
    for (char separator : separators) {
        if (text.find(separator) != std::string_view::npos) {
            return SplitUnique(text, separator);
        }
    }
    auto lock = Lock();
    if (text.empty() || Find(text)) {
        return 0;
    }
    m_texts.emplace_back(text);
    return 1;
}

std::string CLockedStringList::JoinList(char separator) const {
    auto lock = Lock();
    std::string joined;
    bool first = true;
    for (const std::string& text : m_texts) {
        if (!first) {
            joined += separator;
        }
        joined += text;
        first = false;
    }
    return joined;
}

void CLockedStringList::RemoveAll() {
    auto lock = Lock();
    m_texts.clear();
}

void CLockedStringList::RemoveAt(Position position) {
    auto lock = Lock();
    m_texts.erase(position);
}

bool CLockedStringList::RemoveFirst(std::string_view text) {
    auto lock = Lock();
    std::optional<Position> found = Find(text);
    if (!found) {
        return false;
    }
    m_texts.erase(*found);
    return true;
}

int CLockedStringList::GetCount() const {
    auto lock = Lock();
    return static_cast<int>(m_texts.size());
}

std::optional<std::string> CLockedStringList::GetHead() const {
    auto lock = Lock();
    if (m_texts.empty()) {
        return std::nullopt;
    }
    return m_texts.front();
}

std::vector<std::string> CLockedStringList::Texts() const {
    auto lock = Lock();
    return {m_texts.begin(), m_texts.end()};
}
