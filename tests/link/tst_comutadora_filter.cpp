#include "link/comutadora_filter.h"

#include <QtTest>

// Which bytes of one read survive the address filter for terminal 00.
class ComutadoraFilterTest : public QObject
{
    Q_OBJECT
private slots:
    void filter_data()
    {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<QByteArray>("kept");
        const QByteArray frame00 = "\x02"
                                   "D00hello\x03";
        const QByteArray frame01 = "\x02"
                                   "D01hello\x03";

        QTest::newRow("frame for 00 passes whole") << frame00 << frame00;
        QTest::newRow("frame for 01 dropped") << frame01 << QByteArray();
        QTest::newRow("bytes before the first STX dropped") << "junk" + frame00 << frame00;
        QTest::newRow("bytes between and after frames dropped")
            << frame00 + "xx" + QByteArray("\x02L00\x03") + "yy" << frame00 + QByteArray("\x02L00\x03");
        QTest::newRow("inner STX 00 inside a frame for 01") << QByteArray("\x02"
                                                                          "D01ab\x02G00\x05\x03zz")
                                                            << QByteArray("\x02G00\x05\x03");
        QTest::newRow("frame for 00 without ETX passed as far as it goes") << QByteArray("\x02"
                                                                                         "D00abc")
                                                                           << QByteArray("\x02"
                                                                                         "D00abc");
        QTest::newRow("STX near the end: too short to be for 00") << QByteArray("\x02"
                                                                                "D0")
                                                                  << QByteArray();
        QTest::newRow("lone STX") << QByteArray("\x02") << QByteArray();
        QTest::newRow("empty read") << QByteArray() << QByteArray();
        QTest::newRow("command byte ETX ends the frame at once") << QByteArray("\x02\x03"
                                                                               "00\x03")
                                                                 << QByteArray("\x02\x03");
    }

    void filter()
    {
        QFETCH(QByteArray, read);
        QFETCH(QByteArray, kept);
        QCOMPARE(ComutadoraFilter(read), kept);
    }
};

QTEST_GUILESS_MAIN(ComutadoraFilterTest)
#include "tst_comutadora_filter.moc"
