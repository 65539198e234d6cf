#include "ui/splash.h"

#include "shell/splash_image.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

TSplash::TSplash(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setWindowTitle(QStringLiteral("Splash"));
    setObjectName(QStringLiteral("Splash"));
    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());

    const DecodedImage decoded = decodeJpeg(splashJpeg());
    if (decoded.width > 0 && decoded.height > 0) {
        // Deep copy: the decoded buffer goes away with this scope.
        m_picture = QImage(reinterpret_cast<const uchar *>(decoded.rgb.constData()),
                           decoded.width, decoded.height, decoded.width * 3,
                           QImage::Format_RGB888)
                        .copy();
    }

    Timer1.setSingleShot(true);
    Timer1.setInterval(kStartDelayMs);
    connect(&Timer1, &QTimer::timeout, this, &TSplash::Timer1Timer);
    Timer1.start();
}

void TSplash::Timer1Timer()
{
    Timer1.stop();
    emit startUpDue();
}

void TSplash::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_picture.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(rect(), m_picture);
}
