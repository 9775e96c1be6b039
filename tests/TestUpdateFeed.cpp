#include "UpdateFeed.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

const QString goodSignature = QString::fromLatin1(QByteArray(64, '\x5a').toBase64());

QJsonObject package(const QString &name)
{
    return {{"url", "https://example.org/dl/" + name}, {"size", 41234567},
        {"signature", goodSignature}};
}

QJsonObject validFeed()
{
    return {{"version", "1.4.0"}, {"notes", "Corrections."},
        {"page", "https://orvanelabs.ch/orvanetavo"},
        {"packages",
            QJsonObject{
                {"appimage", package("OrvaneTavo.AppImage")}, {"deb", package("orvanetavo.deb")}}}};
}

QByteArray toJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void set(QJsonObject &object, const QString &key, const QJsonValue &value)
{
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
}

// The valid feed with one value replaced, or removed when it is undefined; `path` is "key" or
// "packages/kind/key".
QByteArray withValue(const QString &path, const QJsonValue &value)
{
    QJsonObject feed = validFeed();
    const QStringList keys = path.split('/');
    if (keys.size() == 1) {
        set(feed, keys[0], value);
    } else {
        QJsonObject packages = feed["packages"].toObject();
        QJsonObject one = packages[keys[1]].toObject();
        set(one, keys[2], value);
        packages[keys[1]] = one;
        feed["packages"] = packages;
    }
    return toJson(feed);
}

QByteArray without(const QString &key)
{
    return withValue(key, QJsonValue::Undefined);
}

} // namespace

class TestUpdateFeed : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validFeedIsRead()
    {
        QString error;
        const auto feed = UpdateFeed::parse(toJson(validFeed()), &error);
        QVERIFY2(feed, qPrintable(error));
        QCOMPARE(feed->version, QVersionNumber(1, 4, 0));
        QCOMPARE(feed->versionText, "1.4.0");
        QVERIFY(!feed->preRelease);
        QCOMPARE(feed->notes, "Corrections.");
        QCOMPARE(feed->page, QUrl("https://orvanelabs.ch/orvanetavo"));
        QCOMPARE(feed->packages.size(), 2);
        const UpdatePackage appImage = feed->packages.value(UpdateFeed::PackageKind::AppImage);
        QCOMPARE(appImage.url, QUrl("https://example.org/dl/OrvaneTavo.AppImage"));
        QCOMPARE(appImage.size, qint64(41234567));
        QCOMPARE(appImage.signature, QByteArray(64, '\x5a'));
        QCOMPARE(feed->packages.value(UpdateFeed::PackageKind::Deb).url,
            QUrl("https://example.org/dl/orvanetavo.deb"));
    }

    void optionalPartsMayBeAbsent()
    {
        const auto feed = UpdateFeed::parse(R"({"version": "2", "notes": ""})");
        QVERIFY(feed);
        QCOMPARE(feed->version, QVersionNumber(2));
        QVERIFY(feed->page.isEmpty());
        QVERIFY(feed->packages.isEmpty());
    }

    void versions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVersionNumber>("version");
        QTest::addColumn<bool>("preRelease");
        QTest::newRow("one segment") << "3" << QVersionNumber(3) << false;
        QTest::newRow("four segments") << "1.2.3.4" << QVersionNumber({1, 2, 3, 4}) << false;
        QTest::newRow("beta") << "1.5.0-beta.2" << QVersionNumber(1, 5, 0) << true;
        QTest::newRow("rc") << "2.0-rc1" << QVersionNumber(2, 0) << true;
    }

    void versions()
    {
        QFETCH(QString, text);
        const auto feed = UpdateFeed::parse(withValue("version", text));
        QVERIFY(feed);
        QTEST(feed->version, "version");
        QCOMPARE(feed->versionText, text);
        QFETCH(bool, preRelease);
        QCOMPARE(feed->preRelease, preRelease);
    }

    void rejected_data()
    {
        QTest::addColumn<QByteArray>("json");
        const QString sig63 = QString::fromLatin1(QByteArray(63, 'x').toBase64());
        const QString sig65 = QString::fromLatin1(QByteArray(65, 'x').toBase64());

        QTest::newRow("not JSON") << QByteArray("version: 1.4");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("trailing garbage") << toJson(validFeed()) + "x";
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("version missing") << without("version");
        QTest::newRow("version number") << withValue("version", 1.4);
        QTest::newRow("version empty") << withValue("version", "");
        QTest::newRow("version 1.2x") << withValue("version", "1.2x");
        QTest::newRow("version leading space") << withValue("version", " 1.2");
        QTest::newRow("version trailing space") << withValue("version", "1.2 ");
        QTest::newRow("version v1.2") << withValue("version", "v1.2");
        QTest::newRow("version +1") << withValue("version", "+1.2");
        QTest::newRow("version 1.2.") << withValue("version", "1.2.");
        QTest::newRow("version 1..2") << withValue("version", "1..2");
        QTest::newRow("version bare dash") << withValue("version", "1.2-");
        QTest::newRow("version build tag") << withValue("version", "1.2+build");
        QTest::newRow("version overflow") << withValue("version", "1.99999999999");
        QTest::newRow("notes missing") << without("notes");
        QTest::newRow("notes null") << withValue("notes", QJsonValue::Null);
        QTest::newRow("notes array") << withValue("notes", QJsonArray{"a"});
        QTest::newRow("page http") << withValue("page", "http://orvanelabs.ch/");
        QTest::newRow("page relative") << withValue("page", "/orvanetavo");
        QTest::newRow("page no host") << withValue("page", "https:orvanetavo");
        QTest::newRow("page malformed") << withValue("page", "https://orvane labs.ch/");
        QTest::newRow("page null") << withValue("page", QJsonValue::Null);
        QTest::newRow("packages array") << withValue("packages", QJsonArray{});
        QTest::newRow("package string") << withValue("packages", QJsonObject{{"deb", "x"}});
        QTest::newRow("package array")
            << withValue("packages", QJsonObject{{"appimage", QJsonArray{}}});
        QTest::newRow("url missing") << withValue("packages/deb/url", QJsonValue::Undefined);
        QTest::newRow("url http") << withValue("packages/deb/url", "http://example.org/a.deb");
        QTest::newRow("url file") << withValue("packages/appimage/url", "file:///tmp/a");
        QTest::newRow("url relative") << withValue("packages/appimage/url", "a.AppImage");
        QTest::newRow("size missing") << withValue("packages/deb/size", QJsonValue::Undefined);
        QTest::newRow("size zero") << withValue("packages/deb/size", 0);
        QTest::newRow("size negative") << withValue("packages/deb/size", -5);
        QTest::newRow("size fraction") << withValue("packages/deb/size", 1.5);
        QTest::newRow("size string") << withValue("packages/deb/size", "1234");
        QTest::newRow("size above 2^53")
            << QByteArray(withValue("packages/deb/size", 7).replace(":7,", ":9007199254740993,"));
        QTest::newRow("size huge") << withValue("packages/deb/size", 1e300);
        QTest::newRow("signature missing")
            << withValue("packages/deb/signature", QJsonValue::Undefined);
        QTest::newRow("signature number") << withValue("packages/deb/signature", 64);
        QTest::newRow("signature not base64") << withValue("packages/deb/signature", "!!!!");
        QTest::newRow("signature url-safe alphabet")
            << withValue("packages/deb/signature", QString(goodSignature).replace(0, 2, "-_"));
        QTest::newRow("signature with newline")
            << withValue("packages/deb/signature", QString(goodSignature).insert(40, '\n'));
        QTest::newRow("signature 63 bytes") << withValue("packages/deb/signature", sig63);
        QTest::newRow("signature 65 bytes") << withValue("packages/deb/signature", sig65);
        QTest::newRow("signature empty") << withValue("packages/appimage/signature", "");
    }

    void rejected()
    {
        QFETCH(QByteArray, json);
        QString error;
        QVERIFY(!UpdateFeed::parse(json, &error));
        QVERIFY(!error.isEmpty());
    }

    void largestExactSizeIsAccepted()
    {
        QByteArray json = withValue("packages/deb/size", 7).replace(":7,", ":9007199254740992,");
        const auto feed = UpdateFeed::parse(json);
        QVERIFY(feed);
        QCOMPARE(feed->packages.value(UpdateFeed::PackageKind::Deb).size, qint64(1) << 53);
    }

    void unknownKeysAndKindsAreIgnored()
    {
        QJsonObject feed = validFeed();
        feed["channel"] = QJsonArray{1, 2};
        QJsonObject packages = feed["packages"].toObject();
        packages["snap"] = 42;
        packages["flatpak"] = QJsonObject{{"url", "ftp://nowhere"}};
        QJsonObject deb = packages["deb"].toObject();
        deb["sha256"] = false;
        packages["deb"] = deb;
        feed["packages"] = packages;

        const auto parsed = UpdateFeed::parse(toJson(feed));
        QVERIFY(parsed);
        QCOMPARE(parsed->packages.keys(),
            (QList{UpdateFeed::PackageKind::AppImage, UpdateFeed::PackageKind::Deb}));
    }

    void longNotesAreCut_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("expected");
        const QString limit(20000, 'a');
        const QString emoji = QString::fromUtf8("\xF0\x9F\x93\x84"); // two UTF-16 units
        QTest::newRow("at the limit") << limit << limit;
        QTest::newRow("above") << limit + "bcd" << limit;
        QTest::newRow("pair across the limit")
            << QString(19999, 'a') + emoji + "b" << QString(19999, 'a');
        QTest::newRow("pair before the limit")
            << QString(19998, 'a') + emoji + "b" << QString(19998, 'a') + emoji;
    }

    void longNotesAreCut()
    {
        QFETCH(QString, notes);
        const auto feed = UpdateFeed::parse(withValue("notes", notes));
        QVERIFY(feed);
        QTEST(feed->notes, "expected");
    }
};

QTEST_GUILESS_MAIN(TestUpdateFeed)
#include "TestUpdateFeed.moc"
