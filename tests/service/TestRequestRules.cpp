#include "RequestRules.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// What each endpoint takes and what it refuses, with the reason a client would read.
class TestRequestRules : public QObject
{
    Q_OBJECT

    static QByteArray json(const QJsonObject &object)
    {
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }

    static QJsonObject goodReport()
    {
        return {{"d", "6F9619FF-8B86-D011-B42D-00C04FC964FF"}, {"v", "0.1.0"}, {"os", "debian 12"},
            {"text", "Le texte reste en gras."}};
    }

    static QJsonObject goodCrash()
    {
        return {{"d", "?"}, {"kind", "crash"}, {"message", "Signal 11"}, {"stack", "0 f\n1 g"},
            {"v", "?"}, {"os", "debian 12"}};
    }

    static QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value)
    {
        if (value.isUndefined())
            object.remove(key);
        else
            object.insert(key, value);
        return object;
    }

    // One row: the body, and the reason it is refused for (empty: accepted).
    static void row(const char *name, const QByteArray &body, const QString &error = {})
    {
        QTest::newRow(name) << body << error;
    }
    static void row(const char *name, const QJsonObject &body, const QString &error = {})
    {
        row(name, json(body), error);
    }
    static void addColumns()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
    }

private Q_SLOTS:
    void bodyCapsPerPath_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<qsizetype>("cap");
        QTest::newRow("report") << QByteArray("/api/report.php") << qsizetype(65536);
        QTest::newRow("crash") << QByteArray("/api/crash.php") << qsizetype(65536);
        QTest::newRow("status") << QByteArray("/api/status.php") << qsizetype(4096);
        QTest::newRow("trailing slash") << QByteArray("/api/report.php/") << qsizetype(0);
        QTest::newRow("other case") << QByteArray("/API/report.php") << qsizetype(0);
        QTest::newRow("dot is not a wildcard") << QByteArray("/api/reportXphp") << qsizetype(0);
        QTest::newRow("root") << QByteArray("/") << qsizetype(0);
    }
    void bodyCapsPerPath()
    {
        QFETCH(QByteArray, path);
        QFETCH(qsizetype, cap);
        QCOMPARE(RequestRules::bodyCap(path), cap);
    }

    void reports_data()
    {
        addColumns();
        const QJsonObject good = goodReport();
        row("without email", good);
        row("with email", with(good, "email", " a@b.ch "));
        row("unknown keys are ignored", with(good, "lang", "fr"));
        row("empty", QByteArray(), "not a JSON object");
        row("truncated", json(good).chopped(1), "not a JSON object");
        row("array", QByteArray("[]"), "not a JSON object");
        row("invalid UTF-8",
            QByteArray("{\"d\":\"\xff\xfe\",\"v\":\"1\",\"os\":\"o\",\"text\":\"t\"}"),
            "not a JSON object");
        for (const char *key : {"d", "v", "os", "text"}) {
            QTest::addRow("missing %s", key) << json(with(good, key, QJsonValue::Undefined))
                                             << QString("missing key \"%1\"").arg(key);
            QTest::addRow("%s as number", key)
                << json(with(good, key, 7)) << QString("\"%1\" must be a string").arg(key);
        }
        row("text as null", with(good, "text", QJsonValue::Null), "\"text\" must be a string");
        row("email as bool", with(good, "email", true), "\"email\" must be a string");
        row("blank text", with(good, "text", " \n\t "), "\"text\" is blank");
        row("empty device", with(good, "d", ""), "\"d\" must be 1 to 128");
        row("device 128", with(good, "d", QString(128, 'D')));
        row("device 129", with(good, "d", QString(129, 'D')), "\"d\" must be 1 to 128");
        row("text 32768", with(good, "text", QString(32768, 't')));
        row("text 32769", with(good, "text", QString(32769, 't')), "\"text\" must be 1 to 32768");
        row("email 255", with(good, "email", QString(255, 'e')), "\"email\" must be 0 to 254");
        row("NUL in text", with(good, "text", QString("a") + QChar(0) + "b"),
            "\"text\" contains a NUL");
    }
    void reports()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        ProblemReport report;
        QString reason;
        const bool ok = RequestRules::parseReport(body, &report, &reason);
        QVERIFY2(ok == error.isEmpty(), qPrintable(reason));
        if (ok) {
            QCOMPARE(report.text, QJsonDocument::fromJson(body).object().value("text").toString());
            QCOMPARE(
                report.email, QJsonDocument::fromJson(body).object().value("email").toString());
        } else {
            QVERIFY2(reason.contains(error), qPrintable(reason));
        }
    }

    void crashes_data()
    {
        addColumns();
        const QJsonObject good = goodCrash();
        row("record", good);
        row("error kind, empty stack", with(with(good, "kind", "error"), "stack", ""));
        row("system report of 18000 characters", with(good, "stack", QString(18000, 'r')));
        for (const char *key : {"d", "kind", "message", "stack", "v", "os"}) {
            QTest::addRow("missing %s", key) << json(with(good, key, QJsonValue::Undefined))
                                             << QString("missing key \"%1\"").arg(key);
            QTest::addRow("%s as array", key) << json(with(good, key, QJsonArray{"x"}))
                                              << QString("\"%1\" must be a string").arg(key);
        }
        row("empty kind", with(good, "kind", ""), "\"kind\" must be 1 to 32");
        row("message too long", with(good, "message", QString(16385, 'm')),
            "\"message\" must be 0 to 16384");
        row("object in array", QByteArray("[{\"d\":\"?\"}]"), "not a JSON object");
    }
    void crashes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        CrashRecord crash;
        QString reason;
        const bool ok = RequestRules::parseCrash(body, &crash, &reason);
        QVERIFY2(ok == error.isEmpty(), qPrintable(reason));
        if (ok)
            QCOMPARE(crash.stack, QJsonDocument::fromJson(body).object().value("stack").toString());
        else
            QVERIFY2(reason.contains(error), qPrintable(reason));
    }

    void polls_data()
    {
        addColumns();
        const QJsonObject good{{"d", "DEV"}, {"v", "0.1.0"}, {"os", "debian 12"}};
        row("poll", good);
        row("missing os", with(good, "os", QJsonValue::Undefined), "missing key \"os\"");
        row("device as number", with(good, "d", 12), "\"d\" must be a string");
        row("null", QByteArray("null"), "not a JSON object");
    }
    void polls()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QString device, reason;
        const bool ok = RequestRules::parseStatus(body, &device, &reason);
        QVERIFY2(ok == error.isEmpty(), qPrintable(reason));
        if (ok)
            QCOMPARE(device, QString("DEV"));
        else
            QVERIFY2(reason.contains(error), qPrintable(reason));
    }
};

QTEST_GUILESS_MAIN(TestRequestRules)
#include "TestRequestRules.moc"
