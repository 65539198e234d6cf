#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>

// The borderless start-up picture. Its one-shot Timer1 fires 500 ms after the
// program starts and hands over, through startUpDue(), to the code that
// creates the other windows; the splash is then hidden for the rest of the run.
class TSplash : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 511;
    static constexpr int kClientHeight = 157;
    static constexpr int kStartDelayMs = 500;

    explicit TSplash(QWidget *parent = nullptr);

    QTimer Timer1;
    // The decoded picture; null when the stored JPEG could not be decoded.
    const QImage &picture() const { return m_picture; }

signals:
    void startUpDue();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void Timer1Timer();

    QImage m_picture;
};
