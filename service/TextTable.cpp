#include "TextTable.h"

#include <algorithm>

TextTable::TextTable(const QStringList &headers, const QList<int> &maxWidths)
    : m_headers(headers)
    , m_maxWidths(maxWidths)
{
}

QString TextTable::oneLine(const QString &text)
{
    QString line;
    line.reserve(text.size());
    bool space = false;
    for (const QChar c : text) {
        const bool blank = c.isSpace() || c.category() == QChar::Other_Control;
        if (blank && !space && !line.isEmpty())
            line += QLatin1Char(' ');
        else if (!blank)
            line += c;
        space = blank;
    }
    return line.trimmed();
}

void TextTable::addRow(const QStringList &cells)
{
    QStringList row;
    for (qsizetype i = 0; i < m_headers.size(); ++i) {
        QString cell = oneLine(cells.value(i));
        const int max = m_maxWidths.value(i, 0);
        if (max > 1 && cell.size() > max)
            cell = cell.left(max - 1) + QChar(0x2026);
        row.append(cell);
    }
    m_rows.append(row);
}

void TextTable::print(QTextStream &out) const
{
    QList<qsizetype> widths;
    for (const QString &h : m_headers)
        widths.append(h.size());
    for (const QStringList &row : m_rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    const auto line = [&](const QStringList &cells) {
        QString text;
        for (qsizetype i = 0; i < cells.size(); ++i) {
            // The last column is not padded: no trailing blanks.
            text += i + 1 < cells.size() ? cells[i].leftJustified(widths[i] + 2) : cells[i];
        }
        out << text << '\n';
    };
    line(m_headers);
    for (const QStringList &row : m_rows)
        line(row);
}
