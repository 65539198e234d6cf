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

} // namespace

struct MetricsServer::Connection {
    QTcpSocket *socket = nullptr;
    QByteArray head;
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

bool MetricsServer::listen(const QString &spec, QString *error)
{
    const qsizetype colon = spec.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon < 0 ? 0 : spec.mid(colon + 1).toUInt(&ok);
    QString host = colon < 0 ? QString() : spec.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress address;
    if (host == QLatin1String("localhost"))
        address = QHostAddress::LocalHost;
    if (!ok || port > 65535 || (address.isNull() && !address.setAddress(host))) {
        *error = QStringLiteral("--metrics-listen is ADDR:PORT with an IP address (or localhost) and a port from 0 "
                                "to 65535, not \"%1\"")
                     .arg(spec);
        return false;
    }
    m_server = new QTcpServer(this);
    if (!m_server->listen(address, quint16(port))) {
        *error = QStringLiteral("cannot serve the figures on %1: %2").arg(spec, m_server->errorString());
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
    if (connection.answered) {
        // Whatever follows the one request is not read.
        connection.socket->readAll();
        return;
    }
    // Looked at, not taken: a request to switch protocols is handed on with its head still in the socket.
    connection.head = connection.socket->peek(kMaxRequestBytes + 1);
    qsizetype end = connection.head.indexOf("\r\n\r\n");
    qsizetype endLength = 4;
    if (end < 0) {
        end = connection.head.indexOf("\n\n");
        endLength = 2;
    }
    if (end >= 0 && end <= kMaxRequestBytes) {
        const QByteArray head = connection.head.left(end);
        if (m_upgrade && !headerValue(head, "Upgrade").isEmpty()) {
            QTcpSocket *socket = connection.socket;
            // Its new owner may read at once (and say so with readyRead): this server hears no more of it.
            socket->disconnect(this);
            std::optional<Response> refusal = m_upgrade(head, socket);
            if (!refusal) {
                release(socket);
                return;
            }
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
            socket->read(end + endLength);
            answer(connection, *refusal);
            return;
        }
        connection.socket->read(end + endLength);
        answer(connection, respond(head));
    } else if (connection.head.size() > kMaxRequestBytes) {
        connection.socket->readAll();
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
    connection.head.clear();
    QTcpSocket *socket = connection.socket;
    // Sent out as the client reads. Then only our side is closed: closing both
    // while the rest of a long request is still unread would reset the
    // connection and lose the answer. The client closes, or the deadline does.
    connect(socket, &QTcpSocket::bytesWritten, this, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
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
    if (words.size() != 3 || !isToken(words[0]) || !words[1].startsWith('/') || !words[2].startsWith("HTTP/1."))
        return plain(400, "not an HTTP/1 request line");
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
