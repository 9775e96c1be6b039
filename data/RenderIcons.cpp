// Writes the application icon's bitmaps, drawn by the same code as the running application
// draws it, into a hicolor icon theme folder: <folder>/hicolor/<N>x<N>/apps/<application id>.png.
#include "kit/Symbols.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Drawing needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "tavo-render-icons <icons/>\n");
        return 2;
    }
    const QDir root(arguments.at(1));
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("hicolor/%1x%1/apps").arg(size);
        const QString path = root.filePath(folder + QStringLiteral("/" ORVANE_APP_ID ".png"));
        if (!root.mkpath(folder) || !Symbols::applicationIconImage(size).save(path)) {
            std::fprintf(stderr, "%s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
