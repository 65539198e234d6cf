#include "control/control_request.h"
#include "control/control_server.h"
#include "control/fault_spec_json.h"
#include "control/headless_prompts.h"
#include "control/quit_on_signals.h"
#include "shell/local_address.h"
#include "terminal/terminal.h"
#include "ui/emulator_app.h"
#include "ui/message_prompts.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

const char *const kUsage =
    "Usage: ethernet [OPTION]...\n"
    "Emulates a network data-collection terminal, so that host applications can be\n"
    "written and tested without the hardware. With no option it opens its windows and\n"
    "keeps its files (\"Config.ini\" and the others) in the current folder.\n"
    "\n"
    "  --headless               run the terminal without windows and without a display\n"
    "                           server: load \"Config.ini\" and open the connection at once\n"
    "  --folder DIR             keep the terminal's files in DIR instead of the current folder\n"
    "  --user-folder            keep them in the per-user data folder\n"
    "                           ($XDG_DATA_HOME/ethernet), created when missing\n"
    "  --equipment KIND         with --headless: emulate the \"terminal\" (default) or the\n"
    "                           \"comutadora\"\n"
    "  --control unix:PATH      open the control interface on a local socket (owner only)\n"
    "  --control tcp:PORT       ... or on 127.0.0.1 PORT (0 picks a free port), with a token;\n"
    "                           the address is printed on standard output as a JSON line\n"
    "  --fault SPEC             with --headless: inject a fault from the start, SPEC being the\n"
    "                           JSON object of the control command fault.add, for example\n"
    "                           '{\"kind\":\"split\",\"offsets\":[2],\"count\":\"always\"}'; repeatable\n"
    "  -h, --help               show this help and exit\n"
    "  -v, --version            show the version and exit\n";

const char *const kVersion = "ethernet 2.0.0.16\n";

int usageError(const QString &message)
{
    std::fprintf(stderr, "ethernet: %s\n%s", qPrintable(message), kUsage);
    return 2;
}

int startFailure(const QString &message)
{
    std::fprintf(stderr, "ethernet: %s\n", qPrintable(message));
    return 1;
}

struct Options {
    bool headless = false;
    QString folder;
    bool comutadora = false;
    std::optional<QString> control;
    QList<FaultSpec> faults;
};

// Reads the command line; returns an exit status when the run ends here.
std::optional<int> parseOptions(int argc, char *argv[], Options &options)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption folder(QStringLiteral("folder"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption userFolder(QStringLiteral("user-folder"));
    const QCommandLineOption equipment(QStringLiteral("equipment"), QString(), QStringLiteral("KIND"));
    const QCommandLineOption control(QStringLiteral("control"), QString(), QStringLiteral("SPEC"));
    const QCommandLineOption fault(QStringLiteral("fault"), QString(), QStringLiteral("SPEC"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({headless, folder, userFolder, equipment, control, fault, help, version});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::fputs(kVersion, stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    options.headless = parser.isSet(headless);
    if (parser.isSet(folder) && parser.isSet(userFolder))
        return usageError(QStringLiteral("--folder and --user-folder cannot be used together"));
    if (parser.isSet(folder)) {
        const QFileInfo dir(parser.value(folder));
        if (!dir.isDir())
            return usageError(QStringLiteral("--folder: \"%1\" is not a folder").arg(parser.value(folder)));
        options.folder = dir.absoluteFilePath();
    } else if (parser.isSet(userFolder)) {
        const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        options.folder = QDir(base).filePath(QStringLiteral("ethernet"));
        if (base.isEmpty() || !QDir().mkpath(options.folder))
            return startFailure(QStringLiteral("cannot create the folder \"%1\"").arg(options.folder));
    } else {
        options.folder = QDir::currentPath();
    }
    if (parser.isSet(equipment)) {
        if (!options.headless)
            return usageError(QStringLiteral("--equipment needs --headless (with windows the chooser asks)"));
        const QString kind = parser.value(equipment);
        if (kind != QLatin1String("terminal") && kind != QLatin1String("comutadora"))
            return usageError(QStringLiteral("--equipment is \"terminal\" or \"comutadora\", not \"%1\"").arg(kind));
        options.comutadora = kind == QLatin1String("comutadora");
    }
    if (parser.isSet(control))
        options.control = parser.value(control);
    for (const QString &text : parser.values(fault)) {
        if (!options.headless)
            return usageError(QStringLiteral("--fault needs --headless"));
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
        try {
            if (!document.isObject())
                control::badArgument(QStringLiteral("not a JSON object"));
            options.faults.append(control::faultSpecFromJson(document.object()));
        } catch (const ControlError &error) {
            return usageError(QStringLiteral("--fault %1: %2").arg(text, error.message));
        }
    }
    return std::nullopt;
}

std::unique_ptr<ControlServer> openControl(Terminal &terminal, const QString &spec, QString *error)
{
    auto server = std::make_unique<ControlServer>(terminal);
    if (!server->listen(spec, error))
        return nullptr;
    return server;
}

// The one line a launcher waits for: where the control interface listens.
void announce(const ControlServer *control)
{
    if (!control)
        return;
    const QByteArray ready = control->readyLine() + '\n';
    std::fwrite(ready.constData(), 1, std::size_t(ready.size()), stdout);
    std::fflush(stdout);
}

int runHeadless(int argc, char *argv[], const Options &options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Ethernet"));
    QuitOnSignals quitOnSignals;
    HeadlessPrompts prompts;
    Terminal terminal(options.folder, prompts, &LocalAddressText);
    std::unique_ptr<ControlServer> control;
    if (options.control) {
        QString error;
        control = openControl(terminal, *options.control, &error);
        if (!control)
            return startFailure(error);
    }
    // Faults are in force before the connection opens, so they meet its first bytes.
    for (const FaultSpec &spec : options.faults)
        terminal.faults().add(spec);
    terminal.startWithoutWindows(options.comutadora);
    // Announced once the terminal has loaded its settings and opened its connection.
    announce(control.get());
    return QCoreApplication::exec();
}

int runWindowed(int argc, char *argv[], const Options &options)
{
    QApplication app(argc, argv);
    // Only the name: a display name would be appended to every window caption.
    QApplication::setApplicationName(QStringLiteral("Ethernet"));
    // Closing the main window returns to the chooser; only an explicit request ends the run.
    QApplication::setQuitOnLastWindowClosed(false);

    MessagePrompts prompts;
    EmulatorApp emulator(options.folder, prompts);
    std::unique_ptr<QuitOnSignals> quitOnSignals;
    std::unique_ptr<ControlServer> control;
    if (options.control) {
        // A signal must not leave the control socket file behind.
        quitOnSignals = std::make_unique<QuitOnSignals>();
        QString error;
        control = openControl(emulator.terminal(), *options.control, &error);
        if (!control)
            return startFailure(error);
        announce(control.get());
    }
    return QApplication::exec();
}

} // namespace

// With no option the emulator opens its windows in the current folder and
// keeps everything it needs in "Config.ini" and its companions there.
int main(int argc, char *argv[])
{
    Options options;
    if (const std::optional<int> status = parseOptions(argc, argv, options))
        return *status;
    return options.headless ? runHeadless(argc, argv, options) : runWindowed(argc, argv, options);
}
