#include "updater/InstalledPackage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

const QByteArray ourList = "/.\n/usr\n/usr/bin\n/usr/bin/orvanetavo\n/usr/share/man/man1\n";

// A neighbour whose long description quotes stanza lines, as descriptions may.
const QByteArray neighbour = "Package: orvanetavo-doc\n"
                             "Status: install ok installed\n"
                             "Version: 9.9.9\n"
                             "Description: notes\n"
                             " Package: orvanetavo\n"
                             " Version: 7.7.7\n"
                             "\n";

QByteArray ourStanza(const QByteArray &status, const QByteArray &version)
{
    return "Package: orvanetavo\nStatus: " + status
        + "\nPriority: optional\nSection: utils\nMaintainer: Orvane Labs <support@orvanelabs.ch>\n"
          "Architecture: amd64\nVersion: "
        + version + "\nDescription: colle toujours du texte brut, partout\n .\n second line\n";
}

} // namespace

class TestInstalledPackage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void owningReadsDpkgsDatabase_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("version"); // null: not installed by our package

        const QByteArray installed = ourStanza("install ok installed", "0.1.0");
        QTest::newRow("installed") << ourList << installed << "0.1.0";
        QTest::newRow("after a neighbour quoting us")
            << ourList << neighbour + installed << "0.1.0";
        QTest::newRow("last stanza without a blank line")
            << ourList << neighbour + installed.chopped(1) << "0.1.0";
        QTest::newRow("followed by another package") << ourList
                                                     << installed + "\n"
                + ourStanza("install ok installed", "2.0.0")
                      .replace("Package: orvanetavo", "Package: other")
                                                     << "0.1.0";
        QTest::newRow("removed, configuration kept")
            << ourList << ourStanza("deinstall ok config-files", "0.1.0") << QString();
        QTest::newRow("half installed")
            << ourList << ourStanza("install reinstreq half-installed", "0.1.0") << QString();
        QTest::newRow("binary not among the package's files")
            << QByteArray("/usr/bin/other\n/usr/bin/orvanetavo.old\n") << installed << QString();
        QTest::newRow("no file list") << QByteArray() << installed << QString();
        QTest::newRow("only a neighbour installed") << ourList << neighbour << QString();
        QTest::newRow("no status file") << ourList << QByteArray() << QString();
    }

    void owningReadsDpkgsDatabase()
    {
        QFETCH(QByteArray, list);
        QFETCH(QByteArray, status);
        QFETCH(QString, version);

        QTemporaryDir dpkg;
        QVERIFY(dpkg.isValid());
        if (!list.isEmpty())
            writeFile(dpkg.filePath("info/orvanetavo.list"), list);
        if (!status.isEmpty())
            writeFile(dpkg.filePath("status"), status);

        const auto package
            = InstalledPackage::owning("/usr/bin/orvanetavo", "orvanetavo", dpkg.path());
        QCOMPARE(package.has_value(), !version.isNull());
        if (package) {
            QCOMPARE(package->name, QStringLiteral("orvanetavo"));
            QCOMPARE(package->version, version);
        }
    }

    void upstreamVersionDropsEpochAndRevision_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("upstream");

        QTest::newRow("native") << "0.1.0"
                                << "0.1.0";
        QTest::newRow("revision") << "0.1.0-1"
                                  << "0.1.0";
        QTest::newRow("epoch") << "1:0.2.0"
                               << "0.2.0";
        QTest::newRow("both, dash in upstream") << "2:1.0-rc1-3"
                                                << "1.0-rc1";
    }

    void upstreamVersionDropsEpochAndRevision()
    {
        QFETCH(QString, version);
        QFETCH(QString, upstream);
        QCOMPARE((InstalledPackage{"orvanetavo", version}).upstreamVersion(), upstream);
    }
};

QTEST_MAIN(TestInstalledPackage)
#include "TestInstalledPackage.moc"
