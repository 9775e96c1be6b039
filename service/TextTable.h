#pragma once

#include <QList>
#include <QStringList>
#include <QTextStream>

// Rows printed in aligned columns for the makers' terminal. Cells are kept to one line and cut
// at their column's width, so that a long report text cannot push the table apart.
class TextTable
{
public:
    explicit TextTable(const QStringList &headers, const QList<int> &maxWidths = {});

    void addRow(const QStringList &cells);
    void print(QTextStream &out) const;
    qsizetype rowCount() const { return m_rows.size(); }

    static QString oneLine(const QString &text);

private:
    QStringList m_headers;
    QList<int> m_maxWidths;
    QList<QStringList> m_rows;
};
