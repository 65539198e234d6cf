#include "control/control_request.h"
#include "control/control_server.h"
#include "control/conversation_recording.h"
#include "control/fault_spec_json.h"
#include "control/headless_prompts.h"
#include "control/quit_on_signals.h"
#include "fleet/address_list.h"
#include "fleet/epoll_dispatcher.h"
#include "fleet/conversation_run.h"
#include "fleet/fleet.h"
#include "fleet/fleet_maker.h"
#include "fleet/metrics_server.h"
#include "fleet/open_files.h"
#include "shell/local_address.h"
#include "terminal/terminal.h"
#include "trace/trace_session.h"
#include "ui/emulator_app.h"
#include "ui/message_prompts.h"
#include "web/web_console.h"

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
    "  --fleet DIR              with --headless: one terminal for every subfolder of DIR\n"
    "                           that holds a \"Config.ini\", named by the subfolder\n"
    "  --addresses LIST         with --equipment comutadora: the bus addresses played behind\n"
    "                           the one connection, e.g. 00-31 or 00,05,10-12 (default 00)\n"
    "  --playback               with --headless: start every terminal's \"Digitacoes.ini\"\n"
    "  --ramp-up MS             ... staggered: terminal i of n starts after i * MS / n ms\n"
    "  --metrics FILE           with --headless: write the host's response times and the\n"
    "                           terminals' reply times as JSON to FILE at the end of the run\n"
    "  --metrics-listen ADDR:PORT\n"
    "                           with --headless: serve the same figures, live, for Prometheus\n"
    "                           at http://ADDR:PORT/metrics (e.g. 127.0.0.1:9464; port 0\n"
    "                           picks a free one); its address is printed on standard error\n"
    "                           and as \"metrics\" in the JSON ready line on standard output\n"
    "  --metrics-per-terminal   ... one series per terminal (a \"terminal\" label) instead\n"
    "                           of the whole program's: for small fleets\n"
    "  --make-fleet DIR --count N --from CONFIG [--base-port P]\n"
    "                           make N terminal folders DIR/t001... from one \"Config.ini\"\n"
    "                           (and the files beside it), port P + i for terminal i; exit\n"
    "  --web ADDR:PORT          show the terminals in a browser: serve a live console of\n"
    "                           every terminal at http://ADDR:PORT/ (ADDR 127.0.0.1 when\n"
    "                           only a PORT is given; port 0 picks a free one); the two\n"
    "                           links, to operate and to view only, are printed on the\n"
    "                           ready line and on standard error\n"
    "  --web-tokens FILE        ... with the tokens of FILE ({\"operate\":..,\"view\":..}),\n"
    "                           made with new ones when missing, so the links outlive a run\n"
    "  --trace FILE             write a decoded trace of the host link and of what the\n"
    "                           terminal did to FILE, one record a line\n"
    "  --trace-format FORMAT    \"text\" (default) or \"jsonl\" (one JSON object a line)\n"
    "  --record FILE            with --headless: record the conversation (every operator\n"
    "                           action and what the terminal showed before it) to FILE,\n"
    "                           a new file; closed at the end of the run\n"
    "  --replace                with --record: write over FILE when it is a file that exists\n"
    "  --replay FILE...         replay conversation files without windows, each against\n"
    "                           fresh terminals built from \"Config.ini\" (--folder or\n"
    "                           --fleet); exit 0 when all passed, 1 when one did not,\n"
    "                           2 for a bad file or option (then nothing runs)\n"
    "  --step-timeout MS        with --replay: how long a step waits for what it expects\n"
    "                           (default 10000)\n"
    "  --update                 with --replay: write FILE.new beside each file that failed,\n"
    "                           with the observed values; FILE itself is never changed\n"
    "  --pace real              with --replay: also wait the recorded time before each action\n"
    "  --junit FILE             with --replay: write the results as JUnit XML to FILE\n"
    "  --results FILE           with --replay: write the results and mismatches as JSON to FILE\n"
    "  -h, --help               show this help and exit\n"
    "  -v, --version            show the version and exit\n";

const char *const kVersion = "ethernet 2.0.0.16\n";

// A wrong option: its line, and where the whole usage is (it would bury the line).
int usageError(const QString &message)
{
    std::fprintf(stderr, "ethernet: %s\nTry 'ethernet --help' for more information.\n", qPrintable(message));
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
    std::optional<QString> fleet;
    std::vector<frames::BusAddress> addresses{frames::kDefaultAddress};
    bool playback = false;
    qint64 rampUpMs = 0;
    std::optional<QString> metrics;
    std::optional<QString> metricsListen;
    bool metricsPerTerminal = false;
    std::optional<QString> web;
    QString webTokens;
    std::optional<FleetRecipe> makeFleet;
    QString trace;
    traceformat::Format traceFormat = traceformat::Format::Text;
    QString record;
    bool replaceRecord = false;
    std::optional<ConversationRun::Settings> replay;
};

// The value of an option as a whole number within bounds.
std::optional<qint64> numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min,
                                   qint64 max)
{
    bool ok = false;
    const qint64 value = parser.value(option).toLongLong(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

// The absolute path of the folder an option names, or what is wrong with it.
std::optional<QString> folderOption(const QCommandLineParser &parser, const QCommandLineOption &option,
                                    QString *error)
{
    const QString value = parser.value(option);
    const QFileInfo dir(value);
    if (dir.isDir())
        return dir.absoluteFilePath();
    *error = QStringLiteral("--%1: \"%2\" %3")
                 .arg(option.names().first(), value,
                      dir.exists() ? QStringLiteral("is not a folder") : QStringLiteral("does not exist"));
    return std::nullopt;
}

// The form of a control address; whether it can be opened is found when it listens.
bool controlAddressWellFormed(const QString &spec)
{
    if (spec.startsWith(QLatin1String("unix:")))
        return spec.size() > 5;
    bool ok = false;
    const uint port = spec.mid(4).toUInt(&ok);
    return spec.startsWith(QLatin1String("tcp:")) && ok && port <= 65535;
}

// --equipment KIND: false when KIND is neither.
bool equipmentOption(const QString &kind, bool *comutadora)
{
    *comutadora = kind == QLatin1String("comutadora");
    return *comutadora || kind == QLatin1String("terminal");
}

QString equipmentError(const QString &kind)
{
    return QStringLiteral("--equipment is \"terminal\" or \"comutadora\", not \"%1\"").arg(kind);
}

// The options of a replay (--replay FILE [FILE...]); the run is headless.
std::optional<int> parseReplayOptions(const QCommandLineParser &parser, Options &options)
{
    const auto isSet = [&](const char *name) { return parser.isSet(QString::fromLatin1(name)); };
    const auto value = [&](const char *name) { return parser.value(QString::fromLatin1(name)); };
    for (const char *other : {"record", "replace", "control", "web", "web-tokens", "fault", "playback", "ramp-up",
                              "metrics", "trace", "user-folder", "addresses"})
        if (isSet(other))
            return usageError(QStringLiteral("--replay runs on its own; leave out --%1").arg(QLatin1String(other)));
    ConversationRun::Settings run;
    run.files = parser.values(QStringLiteral("replay")) + parser.positionalArguments();
    if (isSet("step-timeout")) {
        bool ok = false;
        run.stepTimeoutMs = value("step-timeout").toLongLong(&ok);
        if (!ok || run.stepTimeoutMs < 1 || run.stepTimeoutMs > ControlServer::kMaxWaitMs)
            return usageError(QStringLiteral("--step-timeout is a number of milliseconds from 1 to %1")
                                  .arg(ControlServer::kMaxWaitMs));
    }
    run.update = isSet("update");
    if (isSet("pace")) {
        if (value("pace") != QLatin1String("real"))
            return usageError(QStringLiteral("--pace is \"real\", not \"%1\"").arg(value("pace")));
        run.paceReal = true;
    }
    run.junit = isSet("junit") ? QFileInfo(value("junit")).absoluteFilePath() : QString();
    run.results = isSet("results") ? QFileInfo(value("results")).absoluteFilePath() : QString();
    if (isSet("equipment") && !equipmentOption(value("equipment"), &run.comutadora))
        return usageError(equipmentError(value("equipment")));
    if (isSet("fleet")) {
        if (isSet("folder"))
            return usageError(QStringLiteral("--fleet names the folders itself; leave out --folder"));
        QString error;
        run.folders = Fleet::fleetFolders(value("fleet"), &error);
        if (run.folders.isEmpty())
            return usageError(QStringLiteral("--fleet: ") + error);
        run.namedByFolder = true;
    } else if (isSet("folder")) {
        QString error;
        const std::optional<QString> dir = folderOption(parser, QCommandLineOption(QStringLiteral("folder")), &error);
        if (!dir)
            return usageError(error);
        run.folders = QStringList{*dir};
    } else {
        run.folders = QStringList{QDir::currentPath()};
    }
    options.headless = true;
    options.replay = run;
    return std::nullopt;
}

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
    const QCommandLineOption fleet(QStringLiteral("fleet"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption addresses(QStringLiteral("addresses"), QString(), QStringLiteral("LIST"));
    const QCommandLineOption playback(QStringLiteral("playback"));
    const QCommandLineOption rampUp(QStringLiteral("ramp-up"), QString(), QStringLiteral("MS"));
    const QCommandLineOption metrics(QStringLiteral("metrics"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption metricsListen(QStringLiteral("metrics-listen"), QString(), QStringLiteral("ADDR:PORT"));
    const QCommandLineOption metricsPerTerminal(QStringLiteral("metrics-per-terminal"));
    const QCommandLineOption web(QStringLiteral("web"), QString(), QStringLiteral("ADDR:PORT"));
    const QCommandLineOption webTokens(QStringLiteral("web-tokens"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption makeFleet(QStringLiteral("make-fleet"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"));
    const QCommandLineOption from(QStringLiteral("from"), QString(), QStringLiteral("CONFIG"));
    const QCommandLineOption basePort(QStringLiteral("base-port"), QString(), QStringLiteral("P"));
    const QCommandLineOption fault(QStringLiteral("fault"), QString(), QStringLiteral("SPEC"));
    const QCommandLineOption trace(QStringLiteral("trace"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption traceFormat(QStringLiteral("trace-format"), QString(), QStringLiteral("FORMAT"));
    const QCommandLineOption record(QStringLiteral("record"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption replaceRecord(QStringLiteral("replace"));
    const QCommandLineOption replay(QStringLiteral("replay"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption stepTimeout(QStringLiteral("step-timeout"), QString(), QStringLiteral("MS"));
    const QCommandLineOption update(QStringLiteral("update"));
    const QCommandLineOption pace(QStringLiteral("pace"), QString(), QStringLiteral("HOW"));
    const QCommandLineOption junit(QStringLiteral("junit"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption results(QStringLiteral("results"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({headless, folder, userFolder, equipment, control, fleet, addresses, playback, rampUp, metrics,
                       metricsListen, metricsPerTerminal, web, webTokens, makeFleet, count, from, basePort, fault, trace,
                       traceFormat, record, replaceRecord, replay, stepTimeout, update, pace, junit, results, help, version});
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
    if (parser.isSet(replay))
        return parseReplayOptions(parser, options);
    for (const QCommandLineOption *replayOnly : {&stepTimeout, &update, &pace, &junit, &results})
        if (parser.isSet(*replayOnly))
            return usageError(QStringLiteral("--%1 belongs to --replay").arg(replayOnly->names().first()));
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    if (parser.isSet(makeFleet)) {
        if (!parser.isSet(count) || !parser.isSet(from))
            return usageError(QStringLiteral("--make-fleet needs --count and --from"));
        FleetRecipe recipe;
        recipe.dir = parser.value(makeFleet);
        recipe.from = parser.value(from);
        const std::optional<qint64> n = numberOption(parser, count, 1, Fleet::kMaxTerminals);
        if (!n)
            return usageError(QStringLiteral("--count is a number from 1 to %1").arg(Fleet::kMaxTerminals));
        recipe.count = int(*n);
        if (parser.isSet(basePort)) {
            const std::optional<qint64> port = numberOption(parser, basePort, 1, 65535);
            if (!port)
                return usageError(QStringLiteral("--base-port is a port number from 1 to 65535"));
            recipe.basePort = int(*port);
        }
        if (const QString refusal = fleetRecipeRefusal(recipe); !refusal.isEmpty())
            return usageError(refusal);
        options.makeFleet = recipe;
        return std::nullopt;
    }
    for (const QCommandLineOption *recipeOnly : {&count, &from, &basePort})
        if (parser.isSet(*recipeOnly))
            return usageError(QStringLiteral("--%1 belongs to --make-fleet").arg(recipeOnly->names().first()));

    options.headless = parser.isSet(headless);
    for (const QCommandLineOption *headlessOnly : {&fleet, &addresses, &playback, &rampUp, &metrics, &metricsListen,
                                                      &metricsPerTerminal})
        if (parser.isSet(*headlessOnly) && !options.headless)
            return usageError(QStringLiteral("--%1 needs --headless").arg(headlessOnly->names().first()));
    if (parser.isSet(fleet)) {
        if (parser.isSet(folder) || parser.isSet(userFolder))
            return usageError(QStringLiteral("--fleet names the folders itself; leave out --folder and --user-folder"));
        QString error;
        options.fleet = folderOption(parser, fleet, &error);
        if (!options.fleet)
            return usageError(error);
    }
    if (parser.isSet(playback))
        options.playback = true;
    if (parser.isSet(rampUp)) {
        const std::optional<qint64> ms = numberOption(parser, rampUp, 0, Fleet::kMaxRampMs);
        if (!ms || !options.playback)
            return usageError(QStringLiteral("--ramp-up is a number of milliseconds, with --playback"));
        options.rampUpMs = *ms;
    }
    if (parser.isSet(metrics))
        options.metrics = parser.value(metrics);
    if (parser.isSet(metricsListen)) {
        QHostAddress address;
        quint16 port = 0;
        QString error;
        if (!MetricsServer::parseAddress(parser.value(metricsListen), &address, &port, &error))
            return usageError(error);
        options.metricsListen = parser.value(metricsListen);
    }
    if (parser.isSet(metricsPerTerminal) && !options.metricsListen)
        return usageError(QStringLiteral("--metrics-per-terminal needs --metrics-listen"));
    options.metricsPerTerminal = parser.isSet(metricsPerTerminal);
    if (parser.isSet(web)) {
        // A port alone is served on loopback.
        QString spec = parser.value(web);
        if (!spec.contains(QLatin1Char(':')))
            spec.prepend(QStringLiteral("127.0.0.1:"));
        else if (spec.startsWith(QLatin1Char(':')))
            spec.prepend(QStringLiteral("127.0.0.1"));
        options.web = spec;
    }
    if (parser.isSet(webTokens)) {
        if (!options.web)
            return usageError(QStringLiteral("--web-tokens needs --web"));
        options.webTokens = parser.value(webTokens);
        if (options.webTokens.isEmpty())
            return usageError(QStringLiteral("--web-tokens needs a file name"));
    }
    if (parser.isSet(folder) && parser.isSet(userFolder))
        return usageError(QStringLiteral("--folder and --user-folder cannot be used together"));
    if (parser.isSet(folder)) {
        QString error;
        const std::optional<QString> dir = folderOption(parser, folder, &error);
        if (!dir)
            return usageError(error);
        options.folder = *dir;
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
        if (!equipmentOption(parser.value(equipment), &options.comutadora))
            return usageError(equipmentError(parser.value(equipment)));
    }
    if (parser.isSet(addresses)) {
        if (!options.comutadora)
            return usageError(QStringLiteral("--addresses needs --equipment comutadora"));
        QString error;
        const auto list = parseAddressList(parser.value(addresses), &error);
        if (!list)
            return usageError(QStringLiteral("--addresses: ") + error);
        options.addresses = *list;
    }
    if (parser.isSet(control)) {
        options.control = parser.value(control);
        if (!controlAddressWellFormed(*options.control))
            return usageError(QStringLiteral("--control is unix:PATH or tcp:PORT (PORT from 0 to 65535), not \"%1\"")
                                  .arg(*options.control));
    }
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
    if (parser.isSet(trace) && options.fleet)
        return usageError(QStringLiteral("--trace follows one terminal; in a fleet start a trace with the control "
                                         "command trace.start and \"terminal\""));
    if (parser.isSet(trace)) {
        options.trace = QFileInfo(parser.value(trace)).absoluteFilePath();
        if (parser.value(trace).isEmpty())
            return usageError(QStringLiteral("--trace needs a file name"));
    }
    if (parser.isSet(record)) {
        if (!options.headless || options.fleet)
            return usageError(QStringLiteral("--record needs --headless and one terminal (in the windows use "
                                             "\"Arquivo\", \"Gravar Conversa...\")"));
        if (parser.value(record).isEmpty())
            return usageError(QStringLiteral("--record needs a file name"));
        options.record = parser.value(record);
    }
    if (parser.isSet(replaceRecord)) {
        if (!parser.isSet(record))
            return usageError(QStringLiteral("--replace belongs to --record"));
        options.replaceRecord = true;
    }
    if (parser.isSet(traceFormat)) {
        const QString format = parser.value(traceFormat);
        if (format != QLatin1String("text") && format != QLatin1String("jsonl"))
            return usageError(QStringLiteral("--trace-format is \"text\" or \"jsonl\", not \"%1\"").arg(format));
        if (!parser.isSet(trace))
            return usageError(QStringLiteral("--trace-format needs --trace FILE"));
        options.traceFormat = format == QLatin1String("jsonl") ? traceformat::Format::JsonLines
                                                               : traceformat::Format::Text;
    }
    return std::nullopt;
}

template <typename Terminals>
std::unique_ptr<ControlServer> openControl(Terminals &&terminals, const QString &spec, QString *error)
{
    auto server = std::make_unique<ControlServer>(std::forward<Terminals>(terminals));
    if (!server->listen(spec, error))
        return nullptr;
    return server;
}

// The browser console, served on its own HTTP server or on the one of the
// figures when both are asked for on the same address.
struct WebSide {
    std::unique_ptr<MetricsServer> http;
    std::unique_ptr<WebConsole> console;
};

std::optional<QString> openWeb(WebSide &web, ControlServer &control, const Options &options,
                               MetricsServer *metricsServer)
{
    web.console = std::make_unique<WebConsole>(control);
    if (QString error; !options.webTokens.isEmpty() && !web.console->useTokenFile(options.webTokens, &error))
        return error;
    MetricsServer *http = metricsServer;
    if (!http || options.metricsListen != options.web) {
        web.http = std::make_unique<MetricsServer>(std::function<QByteArray()>());
        const MetricsServer::Purpose purpose{QStringLiteral("--web"), QStringLiteral("the browser console")};
        if (QString error; !web.http->listen(*options.web, &error, purpose))
            return error;
        http = web.http.get();
    }
    web.console->serveOn(*http);
    control.setReadyField(QStringLiteral("web"), web.console->links());
    const QByteArray line = QStringLiteral("ethernet: the terminals in a browser: %1 (to operate), %2 (to view)\n")
                                .arg(web.console->operateLink(), web.console->viewLink())
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
    return std::nullopt;
}

// The one line a launcher waits for: where the control interface and the
// figures for Prometheus listen.
void announce(const ControlServer *control, const MetricsServer *metrics)
{
    if (!control && !metrics)
        return;
    QJsonObject extra;
    if (metrics)
        extra.insert(QStringLiteral("metrics"), metrics->metricsUrl());
    QByteArray ready;
    if (control) {
        ready = control->readyLine(extra);
    } else {
        extra.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
        ready = QJsonDocument(QJsonObject{{QStringLiteral("ready"), extra}}).toJson(QJsonDocument::Compact);
    }
    ready += '\n';
    std::fwrite(ready.constData(), 1, std::size_t(ready.size()), stdout);
    std::fflush(stdout);
}

// --playback measures nothing for a terminal with no script: one line says which they are.
void reportWithoutScript(const QStringList &names, int terminals)
{
    if (names.isEmpty())
        return;
    constexpr qsizetype kNamed = 10;
    QString list = names.mid(0, kNamed).join(QStringLiteral(", "));
    if (names.size() > kNamed)
        list += QStringLiteral(" and %1 more").arg(names.size() - kNamed);
    const QByteArray line = QStringLiteral("ethernet: --playback: no \"Digitacoes.ini\" to play in %1 of %2 "
                                           "terminal(s): %3\n")
                                .arg(names.size())
                                .arg(terminals)
                                .arg(list)
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
}

int runHeadless(int argc, char *argv[], const Options &options)
{
    // A fleet holds thousands of sockets: an event loop that registers them
    // once, instead of handing the whole list to the system on every turn.
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Ethernet"));
    QuitOnSignals quitOnSignals;
    HeadlessPrompts prompts;
    Fleet::Plan plan;
    if (options.fleet) {
        QString error;
        plan.folders = Fleet::fleetFolders(*options.fleet, &error);
        // With the control interface an empty fleet folder is a start: terminals come with fleet.add.
        if (plan.folders.isEmpty() && (!options.control || QDir(*options.fleet).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() > Fleet::kMaxTerminals))
            return startFailure(error);
        plan.namedByFolder = true;
        plan.root = *options.fleet;
    } else {
        plan.folders = QStringList{options.folder};
        plan.root = options.folder;
    }
    plan.comutadora = options.comutadora;
    plan.addresses = options.addresses;
    const qsizetype terminals = plan.folders.size() * qsizetype(plan.comutadora ? plan.addresses.size() : 1);
    if (terminals > Fleet::kMaxTerminals)
        return startFailure(QStringLiteral("more than %1 terminals in one process").arg(Fleet::kMaxTerminals));
    // Every connection is a file: a fleet that cannot open them all is refused before any terminal starts.
    const openfiles::Limit files = openfiles::raiseToHardLimit();
    if (const QString refusal = openfiles::refusal(std::uint64_t(terminals), openfiles::neededFor(plan.folders), files);
        !refusal.isEmpty())
        return startFailure(refusal);
    Fleet fleet(plan, prompts, &LocalAddressText);
    // The trace follows one terminal: the lone one of the run (--fleet refuses --trace).
    std::unique_ptr<TraceSession> trace;
    if (fleet.size() > 0)
        trace = std::make_unique<TraceSession>(fleet.terminal(0));
    if (QString error; !options.trace.isEmpty() && !trace->start(options.trace, options.traceFormat, &error))
        return startFailure(error);
    // The trace watches its terminal until the run ends and then writes its summary: fleet.remove leaves it be.
    if (!options.trace.isEmpty())
        fleet.pin(fleet.terminal(0), QStringLiteral("--trace"));
    std::unique_ptr<ControlServer> control;
    if (options.control) {
        QString error;
        control = openControl(fleet.members(), *options.control, &error);
        if (!control)
            return startFailure(error);
    } else if (options.web) {
        control = std::make_unique<ControlServer>(fleet.members());
    }
    if (control) {
        control->addCommands(fleet.controlCommands());
        control->addServerCommands(fleet.membershipCommands(*control));
    }
    std::unique_ptr<MetricsServer> metricsServer;
    if (options.metricsListen) {
        const bool perTerminal = options.metricsPerTerminal;
        metricsServer = std::make_unique<MetricsServer>([&fleet, perTerminal] { return fleet.prometheusMetrics(perTerminal); });
        if (QString error; !metricsServer->listen(*options.metricsListen, &error))
            return startFailure(error);
        std::fprintf(stderr, "ethernet: figures for Prometheus at %s\n", qPrintable(metricsServer->metricsUrl()));
    }
    WebSide web;
    if (options.web)
        if (const std::optional<QString> error = openWeb(web, *control, options, metricsServer.get()))
            return startFailure(*error);
    // Faults are in force before the connections open, so they meet their first bytes.
    for (int i = 0; i < fleet.size(); ++i)
        for (const FaultSpec &spec : options.faults)
            fleet.terminal(i).faults().add(spec);
    fleet.start();
    // --record needs one terminal, so the fleet here is never empty.
    std::optional<ConversationRecording> recording;
    if (!options.record.isEmpty()) {
        recording.emplace(fleet.terminal(0));
        fleet.pin(fleet.terminal(0), QStringLiteral("--record"));
        QString error;
        NewFile::Refusal refusal = NewFile::Refusal::None;
        if (!recording->start(QDir::currentPath(), options.record, options.replaceRecord, &error, &refusal)) {
            // The sentence of the control command would point at its "replace":true.
            if (refusal == NewFile::Refusal::Exists)
                error = QStringLiteral("--record: \"%1\" exists; add --replace to write over it")
                            .arg(QDir::toNativeSeparators(QFileInfo(options.record).absoluteFilePath()));
            return startFailure(error);
        }
    }
    if (options.playback)
        reportWithoutScript(fleet.setPlaybackAll(true, options.rampUpMs), fleet.size());
    // Announced once the terminals have loaded their settings and opened their connections.
    announce(control.get(), metricsServer.get());
    const int status = QCoreApplication::exec();
    web = {};
    metricsServer.reset();
    control.reset();
    if (options.metrics) {
        QString error;
        if (!fleet.writeMetrics(*options.metrics, &error))
            return startFailure(error);
    }
    return status;
}

int runReplay(int argc, char *argv[], const ConversationRun::Settings &settings)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Ethernet"));
    HeadlessPrompts prompts;
    ConversationRun run(settings, prompts, &LocalAddressText);
    if (!run.load())
        return ConversationRun::kBadInput;
    QuitOnSignals quitOnSignals;
    run.start();
    QCoreApplication::exec();
    return run.finish();
}

int makeFleetFolders(const FleetRecipe &recipe)
{
    QString error;
    const QStringList folders = makeFleet(recipe, &error);
    if (folders.isEmpty())
        return startFailure(error);
    std::printf("%lld terminal folders in %s\n", static_cast<long long>(folders.size()),
                qPrintable(QFileInfo(recipe.dir).absoluteFilePath()));
    return 0;
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
    TraceSession trace(emulator.terminal());
    if (QString error; !options.trace.isEmpty() && !trace.start(options.trace, options.traceFormat, &error))
        return startFailure(error);
    std::unique_ptr<QuitOnSignals> quitOnSignals;
    // A signal must not leave the control socket file behind, nor a trace without its end.
    if (options.control || options.web || !options.trace.isEmpty())
        quitOnSignals = std::make_unique<QuitOnSignals>();
    std::unique_ptr<ControlServer> control;
    if (options.control) {
        QString error;
        control = openControl(emulator.terminal(), *options.control, &error);
        if (!control)
            return startFailure(error);
    } else if (options.web) {
        control = std::make_unique<ControlServer>(emulator.terminal());
    }
    WebSide web;
    if (options.web)
        if (const std::optional<QString> error = openWeb(web, *control, options, nullptr))
            return startFailure(*error);
    announce(control.get(), nullptr);
    const int status = QApplication::exec();
    web = {};
    return status;
}

// The windows need a display server, and Qt aborts the program without one.
// Only the default platform is judged: a QT_QPA_PLATFORM chooses for itself.
bool displayFound()
{
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET"})
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    return false;
}

} // namespace

// With no option the emulator opens its windows in the current folder and
// keeps everything it needs in "Config.ini" and its companions there.
int main(int argc, char *argv[])
{
    Options options;
    if (const std::optional<int> status = parseOptions(argc, argv, options))
        return *status;
    if (options.makeFleet)
        return makeFleetFolders(*options.makeFleet);
    if (options.replay)
        return runReplay(argc, argv, *options.replay);
    if (options.headless)
        return runHeadless(argc, argv, options);
    if (!displayFound())
        return startFailure(QStringLiteral("no display found (DISPLAY and WAYLAND_DISPLAY are not set); "
                                           "--headless runs without one"));
    return runWindowed(argc, argv, options);
}
