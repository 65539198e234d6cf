// What a browser's WebSocket may send into a control session: any text
// messages, as an operator or as a viewer. Every message the session sends
// back is one JSON object; a viewer's messages change nothing of the
// terminal's state whatever they ask; the messages waiting stay within their
// bound; the session ends cleanly.
//
// Input: the first byte chooses the access (even: operate, odd: view); the
// rest is cut at each 0xFF byte (never in UTF-8 text) into messages.

#include "fuzz_check.h"

#include "control/control_member.h"
#include "control/control_server.h"
#include "control/control_state.h"
#include "engine/prompts.h"
#include "terminal/terminal.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

struct SilentPrompts : Prompts {
    void showMessage(const QString &, const QString &, Icon) override {}
    std::optional<QString> inputBox(const QString &, const QString &, const QString &) override { return std::nullopt; }
    void requestTerminate() override {}
};

struct Recorder : MessageChannel {
    std::vector<QByteArray> sent;
    void send(const QByteArray &message) override { sent.push_back(message); }
    qint64 unsentBytes() const override { return 0; }
    void hangUp() override {}
    void abort() override {}
};

QJsonObject stateWithoutSeq(const ControlServer &server)
{
    QJsonObject state = control::stateObject(server, *server.members().front());
    state.remove(QStringLiteral("seq"));
    return state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_websocket_session";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir folder;
    static SilentPrompts prompts;

    if (size == 0)
        return 0;
    const bool viewer = (data[0] & 1) != 0;
    const QList<QByteArray> messages = fuzzBytes(data + 1, size - 1).split('\xff');

    Terminal terminal(folder.path(), prompts, [] { return QStringLiteral("127.0.0.1"); });
    ControlServer server(terminal);
    const QJsonObject before = stateWithoutSeq(server);
    auto channel = std::make_shared<Recorder>();
    const ControlServer::SessionHandle session = server.openMessageSession(channel, [viewer](const QString &token) {
        if (token != QLatin1String("0123456789abcdef"))
            return std::optional<ControlSession::Access>();
        return std::optional(viewer ? ControlSession::Access::View : ControlSession::Access::Operate);
    });
    FUZZ_CHECK(!session.expired());
    server.deliverMessage(session, R"({"cmd":"auth","token":"0123456789abcdef"})");
    for (const QByteArray &message : messages) {
        server.deliverMessage(session, message);
        if (const auto s = session.lock())
            FUZZ_CHECK(s->inbox.size() <= std::size_t(ControlServer::kMaxInbox));
    }
    for (const QByteArray &sent : channel->sent) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(sent, &error);
        FUZZ_CHECK(error.error == QJsonParseError::NoError && document.isObject());
    }
    if (viewer)
        FUZZ_CHECK(stateWithoutSeq(server) == before);
    server.closeMessageSession(session);
    FUZZ_CHECK(server.clientCount() == 0);
    return 0;
}
