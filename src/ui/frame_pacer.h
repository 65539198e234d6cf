#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Brings a window up to date at most once per screen refresh. Every change of
// what the window mirrors calls request(); the first request after a quiet
// spell runs the refresh as soon as the event loop is free, later ones are
// gathered until a whole frame interval has passed since the previous refresh.
// A host that delivers thousands of times a second thus costs one refresh per
// frame, and what is shown after the last change is what a refresh after every
// change would have shown, at most one frame later.
class FramePacer : public QObject
{
    Q_OBJECT
public:
    // interval 0: one frame of the primary screen (about 16 ms at 60 Hz).
    explicit FramePacer(QObject *parent = nullptr, int intervalMs = 0);

    void request();
    // Runs a pending refresh at once, for callers that must see the window current.
    void flush();
    bool pending() const { return m_timer.isActive(); }
    int intervalMs() const { return m_interval; }

    // The frame interval of the primary screen, in whole milliseconds.
    static int screenFrameMs();

signals:
    void frame();

private:
    void run();

    int m_interval;
    QTimer m_timer;
    QElapsedTimer m_sinceFrame;
};
