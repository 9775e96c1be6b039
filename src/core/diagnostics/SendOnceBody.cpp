#include "diagnostics/SendOnceBody.h"

#include <cstring>

SendOnceBody::SendOnceBody(const QByteArray &data, QObject *parent)
    : QIODevice(parent)
    , m_data(data)
{
    // Unbuffered: what Qt has read is what went out, and the position says so.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

bool SendOnceBody::seek(qint64 pos)
{
    return pos >= this->pos() && QIODevice::seek(pos);
}

qint64 SendOnceBody::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, m_data.size() - pos());
    std::memcpy(data, m_data.constData() + pos(), size_t(count));
    return count;
}
