#include "shell/splash_image.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// Offset of the two-byte height after a baseline or progressive frame marker.
qsizetype frameHeaderOffset(const QByteArray &jpeg)
{
    for (qsizetype i = 0; i + 9 < jpeg.size(); ++i) {
        if (static_cast<unsigned char>(jpeg[i]) == 0xFF
            && (static_cast<unsigned char>(jpeg[i + 1]) == 0xC0 || static_cast<unsigned char>(jpeg[i + 1]) == 0xC2))
            return i + 5;
    }
    return -1;
}

bool wellFormed(const DecodedImage &image)
{
    if (image.width == 0)
        return image.height == 0 && image.rgb.isEmpty();
    return image.rgb.size() == qsizetype(image.width) * image.height * 3;
}

} // namespace

class TestSplashImage : public QObject {
    Q_OBJECT
private slots:
    void storedPictureDecodes()
    {
        const QByteArray jpeg = splashJpeg();
        QVERIFY(jpeg.startsWith("\xFF\xD8"));
        const DecodedImage image = decodeJpeg(jpeg);
        QCOMPARE(image.width, 511);
        QCOMPARE(image.height, 157);
        QVERIFY(wellFormed(image));
        // The background runs from dark blue at the top to lighter blue below.
        const auto pixel = [&](int x, int y, int channel) {
            return static_cast<unsigned char>(image.rgb[(qsizetype(y) * image.width + x) * 3 + channel]);
        };
        QVERIFY(pixel(2, 2, 2) > pixel(2, 2, 0));
        QVERIFY(pixel(2, 154, 2) > pixel(2, 2, 2));
    }

    void badDataGivesEmptyImage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = splashJpeg();
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not a jpeg") << QByteArray("GIF89a not at all");
        QTest::newRow("start marker only") << QByteArray("\xFF\xD8", 2);
        QTest::newRow("cut in the header") << good.left(120);
        QTest::newRow("cut in the picture data") << good.left(good.size() / 2);
        QByteArray huge = good;
        const qsizetype at = frameHeaderOffset(huge);
        QVERIFY(at > 0);
        huge[at] = '\xFF';
        huge[at + 1] = '\xF0';
        huge[at + 2] = '\xFF';
        huge[at + 3] = '\xF0';
        QTest::newRow("claims 65520 x 65520") << huge;
        QByteArray zero = good;
        zero[at] = 0;
        zero[at + 1] = 0;
        QTest::newRow("zero height") << zero;
    }
    void badDataGivesEmptyImage()
    {
        QFETCH(QByteArray, bytes);
        const DecodedImage image = decodeJpeg(bytes);
        QCOMPARE(image.width, 0);
        QVERIFY(wellFormed(image));
    }

    void damagedPicturesNeverCrash()
    {
        const QByteArray good = splashJpeg();
        QVERIFY(!good.isEmpty());
        QRandomGenerator random(1234);
        for (int round = 0; round < 300; ++round) {
            QByteArray damaged = good.left(random.bounded(good.size()) + 1);
            const int flips = random.bounded(1, 8);
            for (int f = 0; f < flips; ++f)
                damaged[random.bounded(damaged.size())] = static_cast<char>(random.bounded(256));
            QVERIFY(wellFormed(decodeJpeg(damaged)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSplashImage)
#include "tst_splash_image.moc"
