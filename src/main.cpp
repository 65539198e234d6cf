#include "ui/emulator_app.h"
#include "ui/message_prompts.h"

#include <QApplication>
#include <QDir>

// The emulator takes no arguments: everything it keeps lives in "Config.ini"
// and its companions in the working folder it was started in.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Only the name: a display name would be appended to every window caption.
    QApplication::setApplicationName(QStringLiteral("Ethernet"));
    // Closing the main window returns to the chooser; only an explicit request ends the run.
    QApplication::setQuitOnLastWindowClosed(false);

    MessagePrompts prompts;
    EmulatorApp emulator(QDir::currentPath(), prompts);
    return app.exec();
}
