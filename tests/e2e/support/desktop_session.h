#pragma once

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

namespace e2e
{

// A private X server for one test run and the command-line tools that act on
// it the way a user would: xdotool finds windows by caption, moves the pointer,
// clicks and presses keys; ImageMagick's import reads a window back as a
// picture. Every tool call is bounded by the session's wait, so a hung tool
// fails the test instead of stalling it.
class DesktopSession
{
public:
    explicit DesktopSession(int waitMs) : m_waitMs(waitMs) {}
    ~DesktopSession();
    DesktopSession(const DesktopSession &) = delete;
    DesktopSession &operator=(const DesktopSession &) = delete;

    // The tools missing from PATH, by name; empty when everything is there.
    static QStringList missingTools();

    // Starts Xvfb on a display it chooses itself, so parallel runs never share one.
    bool start();
    void stop();

    QString display() const { return m_display; }
    // The caller's environment pointed at this display, with the offscreen
    // platform that ctest sets for widget tests taken out again.
    QProcessEnvironment environment() const;

    QString run(const QString &program, const QStringList &arguments) const;

    // The id of the visible window whose caption is exactly `caption`, or "".
    QString visibleWindow(const QString &caption) const;
    QString waitForWindow(const QString &caption) const;
    QRect windowGeometry(const QString &id) const;

    void click(const QString &id, QPoint at) const;
    void keys(const QStringList &names) const;
    // Types text into the window that has the focus, character by character.
    void type(const QString &text) const;
    // Saves the window's picture under `path` and returns it (null when import failed).
    QImage screenshot(const QString &id, const QString &path) const;

private:
    int m_waitMs;
    QProcess m_xvfb;
    QString m_display;
};

// Sum of the channel differences of two colours: 0 for equal, 765 at most.
int colourDistance(QRgb a, QRgb b);

// The two lines of the terminal display in a screenshot of the main window,
// found without knowing their colour: down the column at x = 100 they are the
// two tall runs of one colour, equal in height and a few pixels apart.
struct DisplayRun {
    int top;
    int bottom;
    QRgb colour;
};
QList<DisplayRun> displayLines(const QImage &window);

// Whether display line 0 or 1 shows any text.
bool displayLineHasText(const QImage &window, int line);

} // namespace e2e
