#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ethernet"));
    QApplication::setApplicationDisplayName(QStringLiteral("Ethernet"));
    QLabel placeholder(QStringLiteral("Ethernet"));
    placeholder.show();
    return app.exec();
}
