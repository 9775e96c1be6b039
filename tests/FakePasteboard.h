#pragma once

#include "clipboard/Pasteboard.h"
#include "clipboard/TargetMapping.h"

#include <atomic>

// An in-memory clipboard that records what the engine does to it.
class FakePasteboard : public Pasteboard
{
public:
    // Another program copies: new content, new change count.
    void copy(
        const QStringList &types, std::optional<QString> text = {}, const Formats &formats = {})
    {
        ++m_changeCount, m_types = types, m_text = std::move(text), m_formats = formats;
    }
    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override { return ++typeReads, m_types; }
    std::optional<QString> string(const QString &type) const override
    {
        const bool offered = type == PasteboardType::string && m_types.contains(type);
        const std::optional<QString> text = offered ? m_text : std::nullopt;
        if (whileReading) // what happens elsewhere while the owner sends its text
            whileReading();
        return text;
    }
    void declareTypes(const QStringList &types) override { failWrites ? void() : copy(types); }
    bool setString(const QString &text, const QString &type) override
    {
        const bool taken = !failWrites && m_types.contains(type);
        return taken ? (++writes, m_text = text, true) : false;
    }
    std::optional<QByteArray> data(const QString &mimeType) const override
    {
        for (const auto &[name, bytes] : m_formats)
            if (name == mimeType)
                return bytes;
        return std::nullopt;
    }
    bool setContents(const QString &text, const Formats &formats) override
    {
        QStringList names{QStringLiteral("text/plain")};
        for (const auto &format : formats)
            names.append(format.first);
        copy(TargetMapping::identifiersForFormats(names), text, formats);
        return ++writes, true;
    }
    const Formats &formats() const { return m_formats; }
    void setChangeNotice(std::function<void()> notice) override { m_notice = std::move(notice); }
    // The display server reports a change, on the engine's thread.
    void notify() const { m_notice ? m_notice() : void(); }

    std::function<void()> whileReading;
    bool failWrites = false;
    int writes = 0;
    mutable int typeReads = 0;

private:
    std::atomic<qint64> m_changeCount = 0;
    std::function<void()> m_notice;
    QStringList m_types;
    std::optional<QString> m_text;
    Formats m_formats;
};
