#include "fleet/metrics_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>

namespace {

const QByteArray kMetricsType = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
const QByteArray kTextType = QByteArrayLiteral("text/plain; charset=utf-8");

const char *reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 403: return "Forbidden";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

MetricsServer::Response plain(int status, const QByteArray &text)
{
    return {status, kTextType, text + '\n', false, {}};
}

bool isToken(const QByteArray &word)
{
    return !word.isEmpty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// "HTTP/" and a major and minor version of one digit each.
bool isVersion(const QByteArray &word)
{
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return word.size() == 8 && word.startsWith("HTTP/") && digit(word.at(5)) && word.at(6) == '.' && digit(word.at(7));
}

} // namespace

struct MetricsServer::Connection {
    QTcpSocket *socket = nullptr;
    bool answered = false;
    QTimer deadline;
};

MetricsServer::MetricsServer(std::function<QByteArray()> metricsText, QObject *parent)
    : QObject(parent), m_metricsText(std::move(metricsText))
{
}

MetricsServer::~MetricsServer()
{
    for (const auto &connection : m_connections) {
        connection->socket->disconnect(this);
        connection->socket->abort();
        delete connection->socket;
    }
}

bool MetricsServer::parseAddress(const QString &spec, QHostAddress *address, quint16 *port, QString *error,
                                 const Purpose &purpose)
{
    const qsizetype colon = spec.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint number = colon < 0 ? 0 : spec.mid(colon + 1).toUInt(&ok);
    QString host = colon < 0 ? QString() : spec.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress parsed;
    if (host == QLatin1String("localhost"))
        parsed = QHostAddress::LocalHost;
    if (!ok || number > 65535 || (parsed.isNull() && !parsed.setAddress(host))) {
        *error = QStringLiteral("%1 is ADDR:PORT with an IP address (or localhost) and a port from 0 "
                                "to 65535, not \"%2\"")
                     .arg(purpose.option, spec);
        return false;
    }
    *address = parsed;
    *port = quint16(number);
    return true;
}

bool MetricsServer::listen(const QString &spec, QString *error, const Purpose &purpose)
{
    QHostAddress address;
    quint16 port = 0;
    if (!parseAddress(spec, &address, &port, error, purpose))
        return false;
    m_server = new QTcpServer(this);
    if (!m_server->listen(address, port)) {
        *error = QStringLiteral("cannot serve %1 on %2: %3").arg(purpose.serves, spec, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &MetricsServer::accept);
    return true;
}

QHostAddress MetricsServer::address() const
{
    return m_server ? m_server->serverAddress() : QHostAddress();
}

quint16 MetricsServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString MetricsServer::metricsUrl() const
{
    QString host = address().toString();
    if (address().protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("http://%1:%2/metrics").arg(host).arg(port());
}

void MetricsServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (int(m_connections.size()) >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        socket->setReadBufferSize(kMaxRequestBytes + 1);
        Connection *raw = connection.get();
        connection->deadline.setSingleShot(true);
        connect(&connection->deadline, &QTimer::timeout, this, [this, socket] { drop(socket); });
        connection->deadline.start(kConnectionMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { readFrom(*raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
        m_connections.push_back(std::move(connection));
        readFrom(*raw);
    }
}

void MetricsServer::setSite(Pages pages, Upgrade upgrade)
{
    m_pages = std::move(pages);
    m_upgrade = std::move(upgrade);
}

QByteArray MetricsServer::headerValue(const QByteArray &head, const QByteArray &name)
{
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0 && lines[i].left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return lines[i].mid(colon + 1).trimmed();
    }
    return QByteArray();
}

void MetricsServer::readFrom(Connection &connection)
{
    QTcpSocket *socket = connection.socket;
    if (connection.answered) {
        // Whatever follows the one request is read only to reach its end, and not kept.
        socket->readAll();
        return;
    }
    // The request stays in the socket's buffer until it is answered (see
    // answer()); a request to switch protocols is handed on with its head still there.
    const QByteArray head = socket->peek(kMaxRequestBytes + 1);
    // Empty lines before the request line are allowed, and skipped.
    qsizetype start = 0;
    while (start < head.size() && (head.at(start) == '\r' || head.at(start) == '\n'))
        ++start;
    qsizetype end = head.indexOf("\r\n\r\n", start);
    if (end < 0)
        end = head.indexOf("\n\n", start);
    if (end >= 0 && end <= kMaxRequestBytes) {
        const QByteArray request = head.mid(start, end - start);
        if (m_upgrade && !headerValue(request, "Upgrade").isEmpty()) {
            socket->read(start);
            // Its new owner may read at once (and say so with readyRead): this server hears no more of it.
            socket->disconnect(this);
            const std::optional<Response> refusal = m_upgrade(request, socket);
            if (!refusal) {
                release(socket);
                return;
            }
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
            answer(connection, *refusal);
            return;
        }
        answer(connection, respond(request));
    } else if (head.size() > kMaxRequestBytes) {
        answer(connection, plain(431, "the request head is longer than 8 KiB"));
    }
}

void MetricsServer::release(QTcpSocket *socket)
{
    const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                                 [socket](const auto &connection) { return connection->socket == socket; });
    if (it == m_connections.end())
        return;
    socket->disconnect(this);
    std::shared_ptr<Connection> gone(it->release());
    m_connections.erase(it);
    gone->deadline.stop();
    QMetaObject::invokeMethod(this, [gone] {}, Qt::QueuedConnection);
}

void MetricsServer::answer(Connection &connection, const Response &response)
{
    connection.answered = true;
    QTcpSocket *socket = connection.socket;
    // The socket reads no further until the answer is out: it takes the end of
    // the input (a client that half-closes after its request, as "nc -N" does)
    // for the end of the connection and would drop the answer with it. A read
    // buffer that is already full stops its reading.
    socket->setReadBufferSize(std::max<qint64>(1, socket->bytesAvailable()));
    // Sent out as the client reads. Then only our side is closed, and the rest
    // of the input is read and thrown away until the client closes (or the
    // deadline comes): closing both while input is still unread would reset
    // the connection and lose the answer.
    connect(socket, &QTcpSocket::bytesWritten, this, [socket] {
        if (socket->bytesToWrite() != 0)
            return;
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
        socket->readAll();
        socket->setReadBufferSize(kMaxRequestBytes + 1);
    });
    socket->write(serialize(response));
}

void MetricsServer::drop(QTcpSocket *socket)
{
    const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                                 [socket](const auto &connection) { return connection->socket == socket; });
    if (it == m_connections.end())
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    // This may run inside the connection's own timer signal: it is freed once that returns.
    std::shared_ptr<Connection> gone(it->release());
    m_connections.erase(it);
    gone->deadline.stop();
    QMetaObject::invokeMethod(this, [gone] {}, Qt::QueuedConnection);
}

MetricsServer::Response MetricsServer::respond(const QByteArray &head) const
{
    const qsizetype lineEnd = head.indexOf('\n');
    const QByteArray line = (lineEnd < 0 ? head : head.left(lineEnd)).trimmed();
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 3 || !isToken(words[0]) || !words[1].startsWith('/') || !isVersion(words[2]))
        return plain(400, "not an HTTP request line");
    if (words[2] != "HTTP/1.0" && words[2] != "HTTP/1.1")
        return plain(505, "only HTTP/1.0 and HTTP/1.1 are served");
    const QByteArray &method = words[0];
    if (method != "GET" && method != "HEAD")
        return plain(405, "only GET and HEAD are served");
    const qsizetype query = words[1].indexOf('?');
    const QByteArray path = query < 0 ? words[1] : words[1].left(query);
    Response response;
    if (std::optional<Response> page = m_pages ? m_pages(path) : std::nullopt)
        response = *page;
    else if (path == "/metrics" && m_metricsText)
        response = {200, kMetricsType, m_metricsText(), false, {}};
    else if (path == "/")
        response = {200, QByteArrayLiteral("text/html; charset=utf-8"),
                    QByteArrayLiteral("<!DOCTYPE html>\n<html><head><title>Ethernet</title></head><body>\n"
                                      "<h1>Ethernet</h1>\n<p>The load figures of the terminals of this program, "
                                      "in the Prometheus text format: <a href=\"/metrics\">/metrics</a>.</p>\n"
                                      "</body></html>\n"),
                    false, {}};
    else
        response = plain(404, "no such page; the figures are at /metrics");
    response.headOnly = method == "HEAD";
    return response;
}

QByteArray MetricsServer::serialize(const Response &response)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason(response.status) + "\r\n";
    out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (response.status == 405)
        out += "Allow: GET, HEAD\r\n";
    out += response.extraHeaders;
    out += "Connection: close\r\n\r\n";
    if (!response.headOnly)
        out += response.body;
    return out;
}
