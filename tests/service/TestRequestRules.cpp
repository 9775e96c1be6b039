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
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error"); // empty: accepted
        const QJsonObject good = goodReport();
        QTest::newRow("without email") << json(good) << QString();
        QTest::newRow("with email") << json(with(good, "email", " a@b.ch ")) << QString();
        QTest::newRow("unknown keys are ignored") << json(with(good, "lang", "fr")) << QString();
        QTest::newRow("key order does not matter")
            << QByteArray(R"({"text":"x","os":"o","v":"1","d":"D"})") << QString();
        QTest::newRow("empty") << QByteArray() << "not a JSON object";
        QTest::newRow("truncated") << json(good).chopped(1) << "not a JSON object";
        QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
        QTest::newRow("string") << QByteArray("\"text\"") << "not a JSON object";
        QTest::newRow("number") << QByteArray("42") << "not a JSON object";
        QTest::newRow("invalid UTF-8")
            << QByteArray("{\"d\":\"\xff\xfe\",\"v\":\"1\",\"os\":\"o\",\"text\":\"t\"}")
            << "not a JSON object";
        for (const char *key : {"d", "v", "os", "text"}) {
            QTest::addRow("missing %s", key) << json(with(good, key, QJsonValue::Undefined))
                                             << QString("missing key \"%1\"").arg(key);
            QTest::addRow("%s as number", key)
                << json(with(good, key, 7)) << QString("\"%1\" must be a string").arg(key);
            QTest::addRow("%s as null", key) << json(with(good, key, QJsonValue::Null))
                                             << QString("\"%1\" must be a string").arg(key);
        }
        QTest::newRow("email as bool")
            << json(with(good, "email", true)) << "\"email\" must be a string";
        QTest::newRow("text as object")
            << json(with(good, "text", QJsonObject{{"a", "b"}})) << "\"text\" must be a string";
        QTest::newRow("blank text") << json(with(good, "text", " \n\t ")) << "\"text\" is blank";
        QTest::newRow("empty device") << json(with(good, "d", "")) << "\"d\" must be 1 to 128";
        QTest::newRow("device 128") << json(with(good, "d", QString(128, 'D'))) << QString();
        QTest::newRow("device 129")
            << json(with(good, "d", QString(129, 'D'))) << "\"d\" must be 1 to 128";
        QTest::newRow("text 32768") << json(with(good, "text", QString(32768, 't'))) << QString();
        QTest::newRow("text 32769")
            << json(with(good, "text", QString(32769, 't'))) << "\"text\" must be 1 to 32768";
        QTest::newRow("email 255")
            << json(with(good, "email", QString(255, 'e'))) << "\"email\" must be 0 to 254";
        QTest::newRow("NUL in text")
            << json(with(good, "text", QString("a") + QChar(0) + "b")) << "\"text\" contains a NUL";
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
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QJsonObject good = goodCrash();
        QTest::newRow("record") << json(good) << QString();
        QTest::newRow("error kind, empty stack")
            << json(with(with(good, "kind", "error"), "stack", "")) << QString();
        QTest::newRow("system report of 18000 characters")
            << json(with(good, "stack", QString(18000, 'r'))) << QString();
        for (const char *key : {"d", "kind", "message", "stack", "v", "os"}) {
            QTest::addRow("missing %s", key) << json(with(good, key, QJsonValue::Undefined))
                                             << QString("missing key \"%1\"").arg(key);
            QTest::addRow("%s as array", key) << json(with(good, key, QJsonArray{"x"}))
                                              << QString("\"%1\" must be a string").arg(key);
        }
        QTest::newRow("empty kind") << json(with(good, "kind", "")) << "\"kind\" must be 1 to 32";
        QTest::newRow("message too long")
            << json(with(good, "message", QString(16385, 'm'))) << "\"message\" must be 0 to 16384";
        QTest::newRow("object in array") << QByteArray("[{\"d\":\"?\"}]") << "not a JSON object";
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
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QJsonObject good{{"d", "DEV"}, {"v", "0.1.0"}, {"os", "debian 12"}};
        QTest::newRow("poll") << json(good) << QString();
        QTest::newRow("missing os")
            << json(with(good, "os", QJsonValue::Undefined)) << "missing key \"os\"";
        QTest::newRow("device as number") << json(with(good, "d", 12)) << "\"d\" must be a string";
        QTest::newRow("null") << QByteArray("null") << "not a JSON object";
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
