#include "ServiceCommands.h"
#include "ServiceStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// The makers' commands read back what the endpoints stored: tables that stay aligned whatever
// the users wrote, and JSON lines a script can split.
class TestServiceCommands : public QObject
{
    Q_OBJECT

    struct Run
    {
        int code;
        QString out;
        QString err;
    };

    template<typename Command> Run run(Command command)
    {
        QString out, err;
        QTextStream o(&out), e(&err);
        const int code = command(*m_store, o, e);
        o.flush();
        e.flush();
        return {code, out, err};
    }

    static QList<QJsonObject> jsonLines(const QString &text)
    {
        QList<QJsonObject> objects;
        for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
            if (error.error != QJsonParseError::NoError || !doc.isObject())
                return {};
            objects << doc.object();
        }
        return objects;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<ServiceStore> m_store;

private Q_SLOTS:
    void init()
    {
        static int n = 0;
        QString error;
        m_store = ServiceStore::open(
            m_dir.filePath(QString("c%1.db").arg(++n)), ServiceStore::Mode::Create, &error);
        QVERIFY2(m_store, qPrintable(error));
        QList<ProblemReport> reports;
        const QStringList texts = {"court", "un texte\navec un saut de ligne et des\ttabulations",
            QString(300, 'x'), "émojis 🙃 et accents"};
        for (int i = 0; i < texts.size(); ++i) {
            ProblemReport r;
            r.receivedAt = 1700000000000 + i * 1000;
            r.device = i % 2 ? "DEV-ODD" : "DEV-EVEN";
            r.version = "0.1.0";
            r.os = "debian 12";
            r.text = texts[i];
            r.email = i == 1 ? "moi@example.org" : "";
            reports << r;
        }
        CrashRecord c;
        c.device = "?";
        c.kind = "crash";
        c.message = "Signal 11";
        c.version = "0.1.0";
        c.os = "debian 12";
        QVERIFY(m_store->append(reports, {c, c}, &error));
    }

    void reportTableStaysAligned()
    {
        const Run r = run([](auto &s, auto &o, auto &e) {
            return ServiceCommands::reports(s, QString(), false, o, e);
        });
        QCOMPARE(r.code, 0);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 5); // header and four reports, newline inside a text or not
        const qsizetype textColumn = lines[0].indexOf("TEXT");
        QVERIFY(textColumn > 0);
        for (const QString &line : lines.mid(1)) {
            QVERIFY2(
                line.at(textColumn - 1) == ' ' && line.at(textColumn) != ' ', qPrintable(line));
            QVERIFY2(line.size() <= textColumn + 80, qPrintable(line));
        }
        QVERIFY(lines[1].contains("émojis")); // newest first
        QVERIFY(lines[3].contains("un texte avec un saut de ligne et des tabulations"));
        QVERIFY(lines[2].endsWith(QChar(0x2026)));
    }

    void reportsAsJsonLinesForOneDevice()
    {
        const Run r = run([](auto &s, auto &o, auto &e) {
            return ServiceCommands::reports(s, "DEV-ODD", true, o, e);
        });
        QCOMPARE(r.code, 0);
        const QList<QJsonObject> rows = jsonLines(r.out);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0]["text"].toString(), QString("émojis 🙃 et accents"));
        QCOMPARE(rows[1]["text"].toString(),
            QString("un texte\navec un saut de ligne et des\ttabulations"));
        QCOMPARE(rows[1]["email"].toString(), QString("moi@example.org"));
        QCOMPARE(rows[1]["received"].toString(), QString("2023-11-14T22:13:21Z"));
    }

    void crashesAreCountedPerMessage()
    {
        const Run r = run(
            [](auto &s, auto &o, auto &e) { return ServiceCommands::crashes(s, true, o, e); });
        const QList<QJsonObject> rows = jsonLines(r.out);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0]["count"].toInt(), 2);
        QCOMPARE(rows[0]["message"].toString(), QString("Signal 11"));
    }

    void replyNeedsText_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code");
        QTest::newRow("reply") << "DEV-ODD" << QString("Merci, c'est corrigé dans 0.1.1.") << 0;
        QTest::newRow("blank text") << "DEV-ODD" << QString("  \n") << 1;
        QTest::newRow("no device") << "" << QString("Bonjour") << 1;
    }
    void replyNeedsText()
    {
        QFETCH(QString, device);
        QFETCH(QString, text);
        QFETCH(int, code);
        const Run r = run([&](auto &s, auto &o, auto &e) {
            return ServiceCommands::reply(s, device, text, o, e);
        });
        QCOMPARE(r.code, code);
        const Run listed = run([](auto &s, auto &o, auto &e) {
            return ServiceCommands::replies(s, QString(), true, o, e);
        });
        const QList<QJsonObject> rows = jsonLines(listed.out);
        QCOMPARE(rows.size(), code == 0 ? 1 : 0);
        if (code == 0) {
            QCOMPARE(rows[0]["text"].toString(), text);
            QVERIFY(rows[0]["offered"].isNull());
        }
    }

    void exportHoldsEverythingOnce()
    {
        QString error;
        QVERIFY(m_store->addReply("DEV-EVEN", "Réponse", 1, &error) > 0);
        const Run r
            = run([](auto &s, auto &o, auto &e) { return ServiceCommands::exportAll(s, o, e); });
        QCOMPARE(r.code, 0);
        QMap<QString, int> types;
        for (const QJsonObject &o : jsonLines(r.out))
            ++types[o["type"].toString()];
        QCOMPARE(types, (QMap<QString, int>{{"report", 4}, {"crash", 2}, {"reply", 1}}));
    }
};

QTEST_GUILESS_MAIN(TestServiceCommands)
#include "TestServiceCommands.moc"
