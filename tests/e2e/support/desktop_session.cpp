#include "support/desktop_session.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTest>

namespace e2e
{

DesktopSession::~DesktopSession()
{
    stop();
}

QStringList DesktopSession::missingTools()
{
    QStringList missing;
    for (const char *needed : {"Xvfb", "xdotool", "import"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(needed)).isEmpty())
            missing.append(QString::fromLatin1(needed));
    return missing;
}

bool DesktopSession::start()
{
    // Xvfb writes the number of the display it took to the descriptor given.
    // Without -noreset it restarts whenever its last client leaves, and a
    // program connecting at that moment is turned away.
    m_xvfb.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp"), QStringLiteral("-noreset")});
    if (!m_xvfb.waitForStarted(m_waitMs))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_xvfb.canReadLine() && clock.elapsed() < m_waitMs)
        m_xvfb.waitForReadyRead(100);
    if (!m_xvfb.canReadLine())
        return false;
    m_display = QLatin1Char(':') + QString::fromLatin1(m_xvfb.readLine()).trimmed();
    return true;
}

void DesktopSession::stop()
{
    if (m_xvfb.state() == QProcess::NotRunning)
        return;
    m_xvfb.terminate();
    if (!m_xvfb.waitForFinished(m_waitMs))
        m_xvfb.kill();
    m_xvfb.waitForFinished(m_waitMs);
}

QProcessEnvironment DesktopSession::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

QString DesktopSession::run(const QString &program, const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, arguments);
    if (!process.waitForFinished(m_waitMs)) {
        process.kill();
        process.waitForFinished(m_waitMs);
        return QString();
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString DesktopSession::visibleWindow(const QString &caption) const
{
    const QStringList ids =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--name"), QStringLiteral(".")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids)
        if (run(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), id}) == caption)
            return id;
    return QString();
}

QString DesktopSession::waitForWindow(const QString &caption) const
{
    QString id;
    QElapsedTimer clock;
    clock.start();
    while ((id = visibleWindow(caption)).isEmpty() && clock.elapsed() < m_waitMs)
        QTest::qWait(50);
    return id;
}

QRect DesktopSession::windowGeometry(const QString &id) const
{
    const QString shape =
        run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
    QRect area;
    for (const QString &line : shape.split(QLatin1Char('\n'))) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals);
        const int value = line.mid(equals + 1).toInt();
        if (key == QLatin1String("X"))
            area.moveLeft(value);
        else if (key == QLatin1String("Y"))
            area.moveTop(value);
        else if (key == QLatin1String("WIDTH"))
            area.setWidth(value);
        else if (key == QLatin1String("HEIGHT"))
            area.setHeight(value);
    }
    return area;
}

void DesktopSession::click(const QString &id, QPoint at) const
{
    run(QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QStringLiteral("--window"), id, QString::number(at.x()),
         QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
}

void DesktopSession::keys(const QStringList &names) const
{
    run(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + names);
}

void DesktopSession::type(const QString &text) const
{
    run(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}

QImage DesktopSession::screenshot(const QString &id, const QString &path) const
{
    run(QStringLiteral("import"), {QStringLiteral("-window"), id, path});
    return QImage(path);
}

int colourDistance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
}

QList<DisplayRun> displayLines(const QImage &window)
{
    constexpr int kColumn = 100;
    if (window.width() <= kColumn)
        return {};
    QList<DisplayRun> runs;
    int start = 0;
    for (int y = 1; y <= window.height(); ++y) {
        if (y < window.height() && window.pixel(kColumn, y) == window.pixel(kColumn, start))
            continue;
        if (y - start >= 12)
            runs.append({start, y - 1, window.pixel(kColumn, start)});
        start = y;
    }
    for (qsizetype i = 0; i + 1 < runs.size(); ++i) {
        const DisplayRun &a = runs[i];
        const DisplayRun &b = runs[i + 1];
        if (a.colour == b.colour && qAbs((a.bottom - a.top) - (b.bottom - b.top)) <= 2 &&
            b.top - a.bottom <= 8)
            return {a, b};
    }
    return {};
}

bool displayLineHasText(const QImage &window, int line)
{
    const QList<DisplayRun> lines = displayLines(window);
    if (lines.size() < 2)
        return false;
    const DisplayRun &run = lines[line];
    for (int y = run.top; y <= run.bottom; ++y)
        for (int x = 20; x < 400 && x < window.width(); ++x)
            if (colourDistance(window.pixel(x, y), run.colour) > 200)
                return true;
    return false;
}

} // namespace e2e
