#include "web/web_console.h"

#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// One browser tab as the control server sees it.
class WebSocketChannel : public MessageChannel {
public:
    static constexpr int kCloseMs = 2000;

    explicit WebSocketChannel(QWebSocket *socket) : m_socket(socket) {}
    void send(const QByteArray &message) override
    {
        if (m_socket)
            m_socket->sendTextMessage(QString::fromUtf8(message));
    }
    qint64 unsentBytes() const override { return m_socket ? m_socket->bytesToWrite() : 0; }
    void hangUp() override
    {
        if (!m_socket)
            return;
        m_socket->close(QWebSocketProtocol::CloseCodePolicyViolated);
        // A peer that never answers the close is not waited for.
        QTimer::singleShot(kCloseMs, m_socket, [socket = m_socket] {
            if (socket)
                socket->abort();
        });
    }
    void abort() override
    {
        if (m_socket)
            m_socket->abort();
    }

private:
    QPointer<QWebSocket> m_socket;
};

QString randomToken()
{
    const quint64 a = QRandomGenerator::system()->generate64();
    const quint64 b = QRandomGenerator::system()->generate64();
    return QStringLiteral("%1%2").arg(a, 16, 16, QLatin1Char('0')).arg(b, 16, 16, QLatin1Char('0'));
}

bool tokenWellFormed(const QString &token)
{
    static const QRegularExpression kToken(QStringLiteral("^[A-Za-z0-9_-]{16,128}$"));
    return kToken.match(token).hasMatch();
}

// Compared byte by byte to the end whatever the first difference.
bool sameToken(const QString &expected, const QString &offered)
{
    const QByteArray e = expected.toUtf8();
    const QByteArray o = offered.toUtf8();
    unsigned char difference = e.size() == o.size() ? 0 : 1;
    for (qsizetype i = 0; i < e.size(); ++i)
        difference |= static_cast<unsigned char>(e[i] ^ (i < o.size() ? o[i] : 0));
    return difference == 0 && !e.isEmpty();
}

MetricsServer::Response text(int status, const QByteArray &message)
{
    return {status, QByteArrayLiteral("text/plain; charset=utf-8"), message + '\n', false, {}};
}

// "host:port" of a Host header or an origin, lower case; the port is given explicitly.
std::optional<std::pair<QString, int>> hostAndPort(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || text.endsWith(QLatin1Char(']')))
        return std::nullopt;
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return std::pair{text.left(colon).toLower(), port};
}

} // namespace

WebConsole::WebConsole(ControlServer &control, QObject *parent) : QObject(parent), m_control(control)
{
    m_sockets = new QWebSocketServer(QStringLiteral("ethernet"), QWebSocketServer::NonSecureMode, this);
    m_sockets->setHandshakeTimeout(kHandshakeMs);
    connect(m_sockets, &QWebSocketServer::newConnection, this, &WebConsole::accept);
    useRandomTokens();
}

WebConsole::~WebConsole() = default;

void WebConsole::useRandomTokens()
{
    m_operate = randomToken();
    do
        m_view = randomToken();
    while (m_view == m_operate);
}

bool WebConsole::useTokenFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!QFileInfo::exists(path)) {
        useRandomTokens();
        QSaveFile out(path);
        const QByteArray content =
            QJsonDocument(QJsonObject{{QStringLiteral("operate"), m_operate}, {QStringLiteral("view"), m_view}})
                .toJson(QJsonDocument::Indented);
        if (!out.open(QIODevice::WriteOnly) ||
            !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
            out.write(content) != content.size() || !out.commit()) {
            *error = QStringLiteral("--web-tokens: cannot write %1: %2").arg(path, out.errorString());
            return false;
        }
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--web-tokens: cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.read(64 * 1024));
    const QString operate = document.object().value(QStringLiteral("operate")).toString();
    const QString view = document.object().value(QStringLiteral("view")).toString();
    if (!document.isObject() || !tokenWellFormed(operate) || !tokenWellFormed(view) || operate == view) {
        *error = QStringLiteral("--web-tokens: %1 is not {\"operate\":TOKEN,\"view\":TOKEN} with two different "
                                "tokens of 16 to 128 letters, digits, \"-\" or \"_\"")
                     .arg(path);
        return false;
    }
    m_operate = operate;
    m_view = view;
    return true;
}

void WebConsole::serveOn(MetricsServer &http)
{
    m_http = &http;
    http.setSite([this](const QByteArray &path) { return page(path); },
                 [this](const QByteArray &head, QTcpSocket *socket) -> std::optional<MetricsServer::Response> {
                     if (std::optional<MetricsServer::Response> refused = refusal(head))
                         return refused;
                     // The socket is ours from here; the WebSocket made from it takes it over.
                     socket->setParent(this);
                     socket->setReadBufferSize(0);
                     m_sockets->handleConnection(socket);
                     return std::nullopt;
                 });
}

QString WebConsole::baseUrl() const
{
    if (!m_http)
        return QString();
    const QHostAddress address = m_http->address();
    QString host;
    if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)
        host = QHostInfo::localHostName();
    else if (address.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + address.toString() + QLatin1Char(']');
    else
        host = address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(m_http->port());
}

QString WebConsole::operateLink() const
{
    return baseUrl() + QStringLiteral("#operate=") + m_operate;
}

QString WebConsole::viewLink() const
{
    return baseUrl() + QStringLiteral("#view=") + m_view;
}

QJsonObject WebConsole::links() const
{
    return {{QStringLiteral("operate"), operateLink()}, {QStringLiteral("view"), viewLink()}};
}

std::optional<ControlSession::Access> WebConsole::accessFor(const QString &token) const
{
    // Both are compared, so the time taken does not tell which one was near.
    const bool operate = sameToken(m_operate, token);
    const bool view = sameToken(m_view, token);
    if (operate)
        return ControlSession::Access::Operate;
    if (view)
        return ControlSession::Access::View;
    return std::nullopt;
}

void WebConsole::accept()
{
    while (QWebSocket *socket = m_sockets->nextPendingConnection()) {
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
        socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
        const ControlServer::SessionHandle session = m_control.openMessageSession(
            std::make_shared<WebSocketChannel>(socket),
            [this](const QString &token) { return accessFor(token); });
        if (session.expired()) {
            // Refused and told why; gone once the close is sent.
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, session](const QString &message) { m_control.deliverMessage(session, message.toUtf8()); });
        connect(socket, &QWebSocket::binaryMessageReceived, socket, [socket] {
            socket->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported,
                          QStringLiteral("the control protocol is text"));
        });
        connect(socket, &QWebSocket::disconnected, this, [this, session, socket] {
            m_control.closeMessageSession(session);
            socket->deleteLater();
        });
    }
}

std::optional<MetricsServer::Response> WebConsole::refusal(const QByteArray &head) const
{
    const qsizetype lineEnd = head.indexOf('\n');
    const QList<QByteArray> words = (lineEnd < 0 ? head : head.left(lineEnd)).trimmed().split(' ');
    if (words.size() != 3 || words[0] != "GET")
        return text(400, "a WebSocket is opened with GET /ws");
    if (words[1] != "/ws")
        return text(404, "the WebSocket is at /ws");
    if (MetricsServer::headerValue(head, "Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
        return text(400, "only WebSocket upgrades are served");
    // The page's own origin only: a page of another site cannot reach the terminals through the browser.
    const QString host = QString::fromLatin1(MetricsServer::headerValue(head, "Host"));
    const QString origin = QString::fromLatin1(MetricsServer::headerValue(head, "Origin"));
    const auto hostParts = hostAndPort(host);
    if (!hostParts || origin.compare(QStringLiteral("http://") + host, Qt::CaseInsensitive) != 0)
        return text(403, "the WebSocket is only for the console's own page (Origin must be http://" +
                             host.toLatin1() + ")");
    if (m_http && hostParts->second != m_http->port())
        return text(403, "the Host header names another port");
    // On loopback the Host must name it: another name resolving to 127.0.0.1 is a page of another site.
    if (m_http && m_http->address().isLoopback()) {
        const QString name = hostParts->first;
        const bool loopbackName = name == QLatin1String("localhost") || name == QLatin1String("[::1]") ||
                                  QHostAddress(name).isLoopback();
        if (!loopbackName)
            return text(403, "on a loopback address the Host must be a loopback address or localhost");
    }
    return std::nullopt;
}

std::optional<MetricsServer::Response> WebConsole::page(const QByteArray &path) const
{
    struct File {
        const char *path;
        const char *resource;
        const char *type;
    };
    static constexpr File kFiles[] = {
        {"/", ":/console/index.html", "text/html; charset=utf-8"},
        {"/console.js", ":/console/console.js", "text/javascript; charset=utf-8"},
        {"/console.css", ":/console/console.css", "text/css; charset=utf-8"},
    };
    for (const File &file : kFiles) {
        if (path != file.path)
            continue;
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            return text(500, "the page is missing from the program");
        MetricsServer::Response response{200, file.type, resource.readAll(), false, {}};
        // Nothing from elsewhere: scripts, styles and connections are the page's own.
        response.extraHeaders = "Content-Security-Policy: default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                                "frame-ancestors 'none'\r\n"
                                "X-Content-Type-Options: nosniff\r\n"
                                "Cache-Control: no-store\r\n"
                                "Referrer-Policy: no-referrer\r\n";
        return response;
    }
    return std::nullopt;
}
