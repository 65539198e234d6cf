#include "support/headless_control.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace bench
{

bool writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

HeadlessControl::~HeadlessControl()
{
    stop();
    for (const int fd : {m_control, m_host, m_listener})
        if (fd >= 0)
            ::close(fd);
}

bool HeadlessControl::start(const QString &binary)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        m_error = QStringLiteral("cannot listen on loopback");
        return false;
    }
    QFile config(m_folder.filePath(QStringLiteral("Config.ini")));
    if (!config.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write Config.ini");
        return false;
    }
    config.write("[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nProtocolo=0\r\nPorta=" +
                 QByteArray::number(ntohs(local.sin_port)) + "\r\n[CodigoBarras]\r\nDelai=0\r\n");
    config.close();

    const QString socketPath = m_folder.filePath(QStringLiteral("control.sock"));
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(qEnvironmentVariable("BENCH_PROGRAM", binary),
                    {QStringLiteral("--headless"), QStringLiteral("--folder"), m_folder.path(),
                     QStringLiteral("--control"), QStringLiteral("unix:") + socketPath});
    if (!m_process.waitForStarted(10000) || !m_process.waitForReadyRead(10000)) {
        m_error = QStringLiteral("the program did not start");
        return false;
    }
    m_process.readLine();

    m_host = ::accept(m_listener, nullptr, nullptr);
    m_control = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.toLocal8Bit().constData(), sizeof address.sun_path - 1);
    if (m_host < 0 || ::connect(m_control, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        m_error = QStringLiteral("cannot connect");
        return false;
    }
    std::string reply;
    line(reply); // greeting
    writeAll(m_control, R"({"id":0,"cmd":"wait","until":{"connected":true}})" "\n");
    if (!line(reply) || reply.find("\"ok\"") == std::string::npos) {
        m_error = QStringLiteral("the terminal did not connect");
        return false;
    }
    return true;
}

bool HeadlessControl::line(std::string &out, int timeoutMs)
{
    while (true) {
        const auto at = m_buffer.find('\n');
        if (at != std::string::npos) {
            out = m_buffer.substr(0, at);
            m_buffer.erase(0, at + 1);
            return true;
        }
        pollfd p{m_control, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char chunk[65536];
        const ssize_t n = ::read(m_control, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, std::size_t(n));
    }
}

void HeadlessControl::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    m_process.waitForFinished(10000);
}

} // namespace bench
