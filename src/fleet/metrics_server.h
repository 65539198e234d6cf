#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;

// What the user asked for an HTTP server with, for the sentences of its
// errors: the option that named the address and what is served there.
struct ServerPurpose {
    QString option = QStringLiteral("--metrics-listen");
    QString serves = QStringLiteral("the figures");
};

// The program's figures for Prometheus: a small HTTP server on one address
// that answers GET /metrics with the text the given function writes
// (Prometheus text format 0.0.4) and GET / with a page that links to it.
// Each connection carries one request and gets one response, after which the
// server closes it. Everything a client sends is untrusted: the request head
// is bounded (kMaxRequestBytes, else 431), a method other than GET or HEAD
// gets 405, a path other than the two 404, an HTTP version other than 1.0
// and 1.1 505, a request that is not HTTP 400. Empty lines before the request
// line are skipped. A client that closes its side after the request (as
// "nc -N" does) still gets the whole answer.
// The response is handed to the socket whole and the event loop goes on, so a
// client that reads slowly holds only its own buffer, never the terminals;
// a connection still open after kConnectionMs is cut, and connections past
// kMaxConnections are refused at once.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxRequestBytes = 8 * 1024;
    static constexpr int kMaxConnections = 32;
    static constexpr int kConnectionMs = 10000;

    explicit MetricsServer(std::function<QByteArray()> metricsText, QObject *parent = nullptr);
    ~MetricsServer() override;

    using Purpose = ServerPurpose;
    // "ADDR:PORT" (an IPv4 address, "[IPv6]", or "localhost"; PORT 0 picks a
    // free one). On failure returns false and a sentence for the user in *error.
    bool listen(const QString &spec, QString *error, const Purpose &purpose = {});
    // The address and port of such a spec, or false and a sentence in *error.
    static bool parseAddress(const QString &spec, QHostAddress *address, quint16 *port, QString *error,
                             const Purpose &purpose = {});
    // "http://ADDR:PORT/metrics" of the listening server ("[...]" around an IPv6 address).
    QString metricsUrl() const;
    QHostAddress address() const;
    quint16 port() const;

    // The status line and body for one request head (up to and without its
    // empty line); public so that the parsing is tested without a socket.
    struct Response {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        bool headOnly = false;
        QByteArray extraHeaders; // whole lines, each ending in CRLF
    };
    Response respond(const QByteArray &head) const;
    static QByteArray serialize(const Response &response);

    // More than the figures on the same port (the browser console): pages
    // answers a GET or HEAD of a path it knows before the built-in ones, and
    // upgrade is given every request that asks to switch protocols, with its
    // socket and with the request still unread in it: it takes the socket
    // (returns nothing) or answers with a refusal. Once taken, the socket is
    // no longer this server's: neither its deadline nor its bounds apply.
    using Pages = std::function<std::optional<Response>(const QByteArray &path)>;
    using Upgrade = std::function<std::optional<Response>(const QByteArray &head, QTcpSocket *socket)>;
    void setSite(Pages pages, Upgrade upgrade);
    // The value of a header in a request head (any case of its name); empty when absent.
    static QByteArray headerValue(const QByteArray &head, const QByteArray &name);

private:
    struct Connection;
    void accept();
    void readFrom(Connection &connection);
    void answer(Connection &connection, const Response &response);
    void drop(QTcpSocket *socket);
    void release(QTcpSocket *socket);

    std::function<QByteArray()> m_metricsText;
    Pages m_pages;
    Upgrade m_upgrade;
    QTcpServer *m_server = nullptr;
    std::vector<std::unique_ptr<Connection>> m_connections;
};
