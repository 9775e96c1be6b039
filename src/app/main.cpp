#include "TavoEngine.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvaneTavo"));
    QApplication::setOrganizationName(QStringLiteral("OrvaneTavo"));
    QApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    TavoEngine::shared();
    return QApplication::exec();
}
