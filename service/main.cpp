#include "ServiceCommands.h"
#include "ServiceServer.h"
#include "ServiceStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslKey>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char defaultDatabase[] = "orvanetavo-service.db";
constexpr char defaultListen[] = "127.0.0.1:8080";

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

QString usage()
{
    return QStringLiteral(
        "usage: orvanetavo-service COMMAND [--db PATH | --db postgresql://…] [options]\n"
        "\n"
        "  serve [--listen HOST:PORT] [--cert FILE --key FILE]\n"
        "        [--report-limit DEVICE,ADDRESS] [--crash-limit DEVICE,ADDRESS]\n"
        "        [--max-connections N]\n"
        "                          answer the application (plain HTTP only on loopback)\n"
        "  reports [--device D] [--json]   problem reports, newest first\n"
        "  crashes [--json]                crash records grouped by message\n"
        "  replies [--device D] [--json]   replies and whether they were offered\n"
        "  reply DEVICE TEXT               leave a reply for a device\n"
        "  export                          everything as JSON lines\n"
        "\n"
        "--db defaults to ./%1 (SQLite, made by serve on first start).\n")
        .arg(QString::fromLatin1(defaultDatabase));
}

bool parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    *port = quint16(number);
    if (host == QLatin1String("localhost"))
        *address = QHostAddress(QHostAddress::LocalHost);
    else if (host == QLatin1String("*"))
        *address = QHostAddress(QHostAddress::Any);
    else
        *address = QHostAddress(host);
    return !address->isNull();
}

bool parseLimit(const QString &text, int *device, int *address)
{
    const QStringList parts = text.split(QLatin1Char(','));
    bool ok1 = false, ok2 = false;
    if (parts.size() != 2)
        return false;
    *device = parts[0].toInt(&ok1);
    *address = parts[1].toInt(&ok2);
    return ok1 && ok2 && *device >= 0 && *address >= 0;
}

bool loadTls(
    const QString &certPath, const QString &keyPath, QSslConfiguration *tls, QString *error)
{
    QFile certFile(certPath), keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1 or %2").arg(certPath, keyPath);
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll());
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key(keyPem, QSsl::Rsa);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec);
    if (chain.isEmpty() || key.isNull()) {
        *error = QStringLiteral("%1 holds no PEM certificate or %2 no RSA or EC key")
                     .arg(certPath, keyPath);
        return false;
    }
    *tls = QSslConfiguration::defaultConfiguration();
    tls->setLocalCertificateChain(chain);
    tls->setPrivateKey(key);
    return true;
}

int serve(QCoreApplication &app, ServiceStore &store, const QCommandLineParser &options,
    QTextStream &out, QTextStream &err)
{
    QHostAddress address;
    quint16 port = 0;
    const QString listen = options.isSet(QStringLiteral("listen"))
        ? options.value(QStringLiteral("listen"))
        : QString::fromLatin1(defaultListen);
    if (!parseListen(listen, &address, &port)) {
        err << "orvanetavo-service: --listen wants HOST:PORT, not " << listen << '\n';
        return 2;
    }
    ServiceServer::Limits limits;
    if (options.isSet(QStringLiteral("report-limit"))
        && !parseLimit(options.value(QStringLiteral("report-limit")), &limits.reportsPerDevice,
            &limits.reportsPerAddress)) {
        err << "orvanetavo-service: --report-limit wants DEVICE,ADDRESS per hour (0: none)\n";
        return 2;
    }
    if (options.isSet(QStringLiteral("crash-limit"))
        && !parseLimit(options.value(QStringLiteral("crash-limit")), &limits.crashesPerDevice,
            &limits.crashesPerAddress)) {
        err << "orvanetavo-service: --crash-limit wants DEVICE,ADDRESS per hour (0: none)\n";
        return 2;
    }
    if (options.isSet(QStringLiteral("max-connections"))) {
        bool ok = false;
        limits.connections = options.value(QStringLiteral("max-connections")).toInt(&ok);
        if (!ok || limits.connections < 1) {
            err << "orvanetavo-service: --max-connections wants a number above 0\n";
            return 2;
        }
    }
    std::optional<QSslConfiguration> tls;
    const bool hasCert = options.isSet(QStringLiteral("cert"));
    if (hasCert != options.isSet(QStringLiteral("key"))) {
        err << "orvanetavo-service: --cert and --key go together\n";
        return 2;
    }
    QString error;
    if (hasCert) {
        tls.emplace();
        if (!loadTls(options.value(QStringLiteral("cert")), options.value(QStringLiteral("key")),
                &*tls, &error)) {
            err << "orvanetavo-service: " << error << '\n';
            return 1;
        }
    }

    ServiceServer server(&store, limits);
    const quint16 bound = server.listen(address, port, tls, &error);
    if (bound == 0) {
        err << "orvanetavo-service: " << error << '\n';
        return 1;
    }

    // SIGTERM and SIGINT end the loop normally, so that records waiting for their commit are
    // committed and answered first.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, &server] {
            server.flush();
            app.quit();
        });
        std::signal(SIGTERM, onStopSignal);
        std::signal(SIGINT, onStopSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);

    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
        : address.toString();
    // Tests and scripts read the port from this first line.
    out << "listening on " << (tls ? "https" : "http") << "://" << host << ':' << bound << '\n';
    out.flush();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvanetavo-service"));
    QTextStream out(stdout), err(stderr);

    QCommandLineParser options;
    options.addOptions({
        {QStringLiteral("db"), QStringLiteral("SQLite file or postgresql:// address"),
            QStringLiteral("location")},
        {QStringLiteral("listen"), QStringLiteral("HOST:PORT"), QStringLiteral("address")},
        {QStringLiteral("cert"), QStringLiteral("PEM certificate (chain)"), QStringLiteral("file")},
        {QStringLiteral("key"), QStringLiteral("PEM private key"), QStringLiteral("file")},
        {QStringLiteral("report-limit"), QStringLiteral("reports per hour"), QStringLiteral("d,a")},
        {QStringLiteral("crash-limit"), QStringLiteral("crashes per hour"), QStringLiteral("d,a")},
        {QStringLiteral("max-connections"), QStringLiteral("open connections"),
            QStringLiteral("n")},
        {QStringLiteral("device"), QStringLiteral("only this device"), QStringLiteral("id")},
        {QStringLiteral("json"), QStringLiteral("one JSON object per line")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this help")},
    });
    if (!options.parse(app.arguments())) {
        err << "orvanetavo-service: " << options.errorText() << "\n\n" << usage();
        return 2;
    }
    const QStringList args = options.positionalArguments();
    if (options.isSet(QStringLiteral("help")) || args.isEmpty()) {
        (args.isEmpty() && !options.isSet(QStringLiteral("help")) ? err : out) << usage();
        return options.isSet(QStringLiteral("help")) ? 0 : 2;
    }
    const QString command = args.first();
    const QStringList known
        = {QStringLiteral("serve"), QStringLiteral("reports"), QStringLiteral("crashes"),
            QStringLiteral("replies"), QStringLiteral("reply"), QStringLiteral("export")};
    const qsizetype wanted = command == QLatin1String("reply") ? 3 : 1;
    if (!known.contains(command) || args.size() != wanted) {
        err << usage();
        return 2;
    }

    const QString location = options.isSet(QStringLiteral("db"))
        ? options.value(QStringLiteral("db"))
        : QString::fromLatin1(defaultDatabase);
    QString error;
    auto store = ServiceStore::open(location,
        command == QLatin1String("serve") ? ServiceStore::Mode::Create
                                          : ServiceStore::Mode::MustExist,
        &error);
    if (!store) {
        err << "orvanetavo-service: " << error << '\n';
        return 1;
    }
    const QString device = options.value(QStringLiteral("device"));
    const bool json = options.isSet(QStringLiteral("json"));
    if (command == QLatin1String("serve"))
        return serve(app, *store, options, out, err);
    if (command == QLatin1String("reports"))
        return ServiceCommands::reports(*store, device, json, out, err);
    if (command == QLatin1String("crashes"))
        return ServiceCommands::crashes(*store, json, out, err);
    if (command == QLatin1String("replies"))
        return ServiceCommands::replies(*store, device, json, out, err);
    if (command == QLatin1String("reply"))
        return ServiceCommands::reply(*store, args[1], args[2], out, err);
    return ServiceCommands::exportAll(*store, out, err);
}
