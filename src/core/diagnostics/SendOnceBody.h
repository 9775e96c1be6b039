#pragma once

#include <QByteArray>
#include <QIODevice>

// A request body that reads forward only. When a connection drops before the answer, Qt rewinds
// the body to send the request again on a new one; the makers' service would then record the
// same report or crash several times. This body refuses to be rewound once read, so the request
// ends there as a failure, and sending again stays the user's choice.
class SendOnceBody : public QIODevice
{
    Q_OBJECT

public:
    explicit SendOnceBody(const QByteArray &data, QObject *parent = nullptr);

    qint64 size() const override { return m_data.size(); }
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const QByteArray m_data;
};
