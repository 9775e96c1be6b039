#include "updater/UpdateFeed.h"

#include <QTest>

namespace {

const QByteArray signature = QByteArray(64, '\x5a').toBase64();

// JSON written with single quotes, which read better inside C++ literals.
QByteArray json(QByteArray text)
{
    return text.replace('\'', '"');
}

QByteArray validFeed()
{
    return json("{'version': '1.4.0', 'notes': 'Corrections.', "
                "'page': 'https://orvanelabs.ch/orvanetavo', 'packages': {"
                "'appimage': {'url': 'https://example.org/dl/OrvaneTavo.AppImage', "
                "'size': 41234567, 'sha256': 'HASH', 'signature': 'SIG'}, "
                "'deb': {'url': 'https://example.org/dl/orvanetavo.deb', "
                "'size': 41234567, 'sha256': 'HASH', 'signature': 'SIG'}}}")
        .replace("HASH", QByteArray(32, '\xab').toHex().toUpper())
        .replace("SIG", signature);
}

// The valid feed with every occurrence of `from` replaced by `to`.
QByteArray validWith(const QByteArray &from, const QByteArray &to)
{
    return validFeed().replace(json(from), json(to));
}

} // namespace

class TestUpdateFeed : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validFeedIsRead()
    {
        QString error;
        const auto feed = UpdateFeed::parse(validFeed(), &error);
        QVERIFY2(feed, qPrintable(error));
        QCOMPARE(feed->notes, "Corrections.");
        QCOMPARE(feed->page, QUrl("https://orvanelabs.ch/orvanetavo"));
        const UpdatePackage appImage = feed->packages.value(UpdateFeed::PackageKind::AppImage);
        QCOMPARE(appImage.url, QUrl("https://example.org/dl/OrvaneTavo.AppImage"));
        QCOMPARE(appImage.size, qint64(41234567));
        QCOMPARE(appImage.sha256, QByteArray(32, '\xab'));
        QCOMPARE(appImage.signature, QByteArray(64, '\x5a'));
        QCOMPARE(feed->packages.value(UpdateFeed::PackageKind::Deb).url,
            QUrl("https://example.org/dl/orvanetavo.deb"));

        // Page and packages are optional.
        const auto minimal = UpdateFeed::parse(json("{'version': '2', 'notes': ''}"));
        QVERIFY(minimal && minimal->page.isEmpty() && minimal->packages.isEmpty());
    }

    void versions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVersionNumber>("version");
        QTest::addColumn<bool>("preRelease");
        QTest::newRow("four segments") << "1.2.3.4" << QVersionNumber({1, 2, 3, 4}) << false;
        QTest::newRow("beta") << "1.5.0-beta.2" << QVersionNumber(1, 5, 0) << true;
    }

    void versions()
    {
        QFETCH(QString, text);
        const auto feed = UpdateFeed::parse(validWith("1.4.0", text.toUtf8()));
        QVERIFY(feed);
        QTEST(feed->version, "version");
        QCOMPARE(feed->versionText, text);
        QTEST(feed->preRelease, "preRelease");
    }

    void rejected_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("not JSON") << QByteArray("version: 1.4");
        QTest::newRow("version missing") << validWith("'version': '1.4.0',", "");
        QTest::newRow("version v1.2") << validWith("1.4.0", "v1.2");
        QTest::newRow("version overflow") << validWith("1.4.0", "1.99999999999");
        QTest::newRow("notes not a string") << validWith("'Corrections.'", "null");
        QTest::newRow("page http") << validWith("https://orvanelabs", "http://orvanelabs");
        QTest::newRow("package not an object")
            << json("{'version': '1', 'notes': '', 'packages': {'deb': 'x'}}");
        QTest::newRow("url http") << validWith("https://example", "http://example");
        QTest::newRow("size zero") << validWith("41234567", "0");
        QTest::newRow("sha256 missing") << validWith("'sha256': 'ABAB", "'other': 'ABAB");
        QTest::newRow("sha256 of 63 digits") << validWith("ABABAB'", "ABABA'");
        QTest::newRow("signature not base64") << validWith(signature, "!!!!");
        QTest::newRow("signature 63 bytes") << validWith(signature, QByteArray(63, 'x').toBase64());
    }

    void rejected()
    {
        QFETCH(QByteArray, json);
        QString error;
        QVERIFY(!UpdateFeed::parse(json, &error));
        QVERIFY(!error.isEmpty());
    }

    void unknownKeysAndKindsAreIgnored()
    {
        const QByteArray extended
            = validWith("'packages': {",
                "'channel': [1, 2], 'packages': {'snap': 42, 'flatpak': {'url': 'ftp://x'}, ")
                  .replace(json("'size': 41234567,"), json("'size': 41234567, 'mirror': false,"));
        const auto feed = UpdateFeed::parse(extended);
        QVERIFY(feed);
        QCOMPARE(feed->packages.keys(),
            (QList{UpdateFeed::PackageKind::AppImage, UpdateFeed::PackageKind::Deb}));
    }

    void longNotesAreCut_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("expected");
        const QString emoji = QString::fromUtf8("\xF0\x9F\x93\x84"); // two UTF-16 units
        QTest::newRow("pair across the limit")
            << QString(19999, 'a') + emoji + "b" << QString(19999, 'a');
        QTest::newRow("pair before the limit")
            << QString(19998, 'a') + emoji + "b" << QString(19998, 'a') + emoji;
    }

    void longNotesAreCut()
    {
        QFETCH(QString, notes);
        const auto feed = UpdateFeed::parse(validWith("Corrections.", notes.toUtf8()));
        QVERIFY(feed);
        QTEST(feed->notes, "expected");
    }
};

QTEST_GUILESS_MAIN(TestUpdateFeed)
#include "TestUpdateFeed.moc"
