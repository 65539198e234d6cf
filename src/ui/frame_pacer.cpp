#include "ui/frame_pacer.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>

FramePacer::FramePacer(QObject *parent, int intervalMs)
    : QObject(parent), m_interval(intervalMs > 0 ? intervalMs : screenFrameMs())
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire up to 5 % late and drift to the next frame.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FramePacer::run);
}

int FramePacer::screenFrameMs()
{
    qreal hertz = 60;
    if (const QScreen *screen = QGuiApplication::primaryScreen(); screen && screen->refreshRate() >= 1)
        hertz = screen->refreshRate();
    // Rounded down, so a 60 Hz screen is never refreshed less often than it shows frames.
    return std::clamp(static_cast<int>(std::floor(1000.0 / hertz)), 4, 50);
}

void FramePacer::request()
{
    if (m_timer.isActive())
        return;
    const qint64 since = m_sinceFrame.isValid() ? m_sinceFrame.elapsed() : m_interval;
    m_timer.start(static_cast<int>(std::max<qint64>(0, m_interval - since)));
}

void FramePacer::flush()
{
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    run();
}

void FramePacer::run()
{
    m_sinceFrame.start();
    emit frame();
}
