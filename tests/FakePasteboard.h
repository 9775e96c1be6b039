#pragma once

#include "clipboard/Pasteboard.h"

// An in-memory clipboard that records what the engine does to it.
class FakePasteboard : public Pasteboard
{
public:
    // Another program copies: new content, new change count.
    void copy(const QStringList &types, std::optional<QString> text = std::nullopt)
    {
        ++m_changeCount;
        m_types = types;
        m_text = std::move(text);
    }

    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override
    {
        ++typeReads;
        return m_types;
    }
    std::optional<QString> string(const QString &type) const override
    {
        if (type != PasteboardType::string || !m_types.contains(type))
            return std::nullopt;
        return m_text;
    }
    void declareTypes(const QStringList &types) override
    {
        if (failWrites)
            return;
        ++m_changeCount;
        m_types = types;
        m_text.reset();
    }
    bool setString(const QString &text, const QString &type) override
    {
        if (failWrites || !m_types.contains(type))
            return false;
        ++writes;
        m_text = text;
        return true;
    }

    bool failWrites = false;
    int writes = 0;
    mutable int typeReads = 0;

private:
    qint64 m_changeCount = 0;
    QStringList m_types;
    std::optional<QString> m_text;
};
