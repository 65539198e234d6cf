// The window's frame pacer: a burst of changes costs one refresh, a change
// after a quiet spell is shown at once, and nothing requested is ever lost.

#include "ui/frame_pacer.h"

#include <QSignalSpy>
#include <QTest>

class TstFramePacer : public QObject
{
    Q_OBJECT

private slots:
    void gathersRequestsIntoFrames();
};

void TstFramePacer::gathersRequestsIntoFrames()
{
    QVERIFY(FramePacer::screenFrameMs() >= 4 && FramePacer::screenFrameMs() <= 50);

    // An interval far longer than the test, so the order alone decides.
    FramePacer pacer(nullptr, 60'000);
    QSignalSpy frames(&pacer, &FramePacer::frame);
    pacer.request();
    QVERIFY(frames.isEmpty());
    QTRY_COMPARE(frames.size(), 1);
    QVERIFY(!pacer.pending());

    // Within the interval of the last frame, requests wait and are gathered.
    for (int i = 0; i < 100; ++i) {
        pacer.request();
        QCoreApplication::processEvents();
    }
    QCOMPARE(frames.size(), 1);
    QVERIFY(pacer.pending());
    pacer.flush();
    QCOMPARE(frames.size(), 2);
    QVERIFY(!pacer.pending());
    pacer.flush();
    QCOMPARE(frames.size(), 2);

    // A short interval: a request after it has passed runs at the next turn of the loop.
    FramePacer quick(nullptr, 5);
    QSignalSpy quickFrames(&quick, &FramePacer::frame);
    quick.request();
    QTRY_COMPARE(quickFrames.size(), 1);
    quick.request();
    quick.request();
    QTRY_COMPARE(quickFrames.size(), 2);
    QTest::qWait(20);
    QCOMPARE(quickFrames.size(), 2);
}

QTEST_MAIN(TstFramePacer)
#include "tst_frame_pacer.moc"
