// A field drawn from the panel cache must look exactly as the style draws it,
// in every state: a look cached for one state and shown for another would pass
// a disabled read-out off as a live one.
#include "panelcache.h"

#include <QApplication>
#include <QLineEdit>
#include <QtTest>

using namespace ondrel;

namespace {

QImage Grab(QLineEdit& edit)
{
    return edit.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// Painting a frame into a pixmap and copying it may round an antialiased edge
// differently from painting it in place; anything more is a different look.
int LargestDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return 256;
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)),
                                std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return largest;
}

} // namespace

class TestPanelCache : public QObject
{
    Q_OBJECT

private slots:
    void looksAsTheStyleDraws_data();
    void looksAsTheStyleDraws();
};

void TestPanelCache::looksAsTheStyleDraws_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("frame");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QColor>("base"); // invalid: the application's palette
    QTest::newRow("read-out") << true << false << true << QSize(80, 22) << QColor();
    QTest::newRow("readings stopped") << false << false << true << QSize(80, 22) << QColor();
    QTest::newRow("read-only") << true << true << true << QSize(80, 22) << QColor();
    QTest::newRow("another size") << true << false << true << QSize(120, 30) << QColor();
    QTest::newRow("no frame") << true << false << false << QSize(80, 22) << QColor();
    QTest::newRow("another palette")
        << true << false << true << QSize(80, 22) << QColor(Qt::yellow);
}

void TestPanelCache::looksAsTheStyleDraws()
{
    QFETCH(bool, enabled);
    QFETCH(bool, readOnly);
    QFETCH(bool, frame);
    QFETCH(QSize, size);
    QFETCH(QColor, base);
    QStyle* cached = PanelCacheStyle();
    QVERIFY(cached);

    QLineEdit plain, fromCache;
    fromCache.setStyle(cached);
    for (QLineEdit* edit : {&plain, &fromCache}) {
        edit->setText(QStringLiteral("080.5"));
        edit->setEnabled(enabled);
        edit->setReadOnly(readOnly);
        edit->setFrame(frame);
        edit->resize(size);
        if (base.isValid()) {
            QPalette palette = edit->palette();
            palette.setColor(QPalette::Base, base);
            edit->setPalette(palette);
        }
    }
    // The first paint fills the cache, the second is drawn from it.
    const QImage expected = Grab(plain);
    QVERIFY(LargestDifference(Grab(fromCache), expected) <= 2);
    QVERIFY(LargestDifference(Grab(fromCache), expected) <= 2);
}

QTEST_MAIN(TestPanelCache)
#include "tst_panelcache.moc"
