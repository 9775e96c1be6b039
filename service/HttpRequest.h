#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>

// One request as a client connection read it: the head parsed, the body whole.
struct HttpRequest
{
    QByteArray method;
    QByteArray path; // without the query
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QHostAddress peer;

    // The value of the first header of that name (names compare without case), or empty.
    QByteArray header(QByteArrayView name) const
    {
        for (const auto &[key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }
};
