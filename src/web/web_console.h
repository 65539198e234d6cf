#pragma once

#include "control/control_server.h"
#include "fleet/metrics_server.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <optional>

class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// The terminals in a browser: a static page (the program's own resources,
// nothing fetched from elsewhere) and a WebSocket that carries the control
// protocol's requests, replies and events, one JSON object per message. The
// browser is one more client of the control server: same command table, same
// sessions; the page has no command of its own.
//
// The HTTP side is a MetricsServer (its bounds on request size, connections
// and time), which may also serve the figures for Prometheus on the same port.
// A request to switch protocols is checked here (path /ws, an Origin that is
// the page's own host and port, and on a loopback address a Host that names
// it) and handed to a QWebSocketServer that does not listen itself. Messages
// are bounded (kMaxMessageBytes). A client must authenticate with one of two
// tokens before it sees anything: the operate token may do what the control
// protocol allows, the view token only look (the server refuses the rest).
// The tokens travel in the links' fragment, so they never reach a server log.
class WebConsole : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxMessageBytes = 1024 * 1024;
    static constexpr int kHandshakeMs = 5000;

    explicit WebConsole(ControlServer &control, QObject *parent = nullptr);
    ~WebConsole() override;

    // Random tokens, or those of FILE: a JSON object {"operate":..,"view":..}
    // of two different tokens of 16 to 128 letters, digits, "-" or "_". A FILE
    // that does not exist is made (owner only) with new random tokens, so the
    // links stay the same from run to run. False, with a sentence, on failure.
    bool useTokenFile(const QString &path, QString *error);
    void useRandomTokens();

    // Serves the page and the WebSocket on this HTTP server from now on.
    void serveOn(MetricsServer &http);

    QString operateToken() const { return m_operate; }
    QString viewToken() const { return m_view; }
    // http://HOST:PORT/#operate=TOKEN and #view=TOKEN.
    QString operateLink() const;
    QString viewLink() const;
    // {"operate":LINK,"view":LINK}, for the ready line.
    QJsonObject links() const;

    // The checks on a request to switch protocols; public so that they are
    // tested without a socket. A refusal, or nothing when it may go on.
    std::optional<MetricsServer::Response> refusal(const QByteArray &head) const;
    std::optional<MetricsServer::Response> page(const QByteArray &path) const;

private:
    std::optional<ControlSession::Access> accessFor(const QString &token) const;
    void accept();
    QString baseUrl() const;

    ControlServer &m_control;
    QWebSocketServer *m_sockets = nullptr;
    MetricsServer *m_http = nullptr;
    QString m_operate;
    QString m_view;
};
