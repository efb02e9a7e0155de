#include <QHash>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <memory>

#include "ui/artwork.h"
#include "ui/result_dialog.h"

using tolvane::contrastRatio;

namespace {

constexpr int kTwips = 15;
QRect px(int l, int t, int w, int h) {
    return {l / kTwips, t / kTwips, w / kTwips, h / kTwips};
}

// Every line the label wraps to must fit its fixed box, across and down.
void verifyFits(const QLabel* label) {
    const QFontMetrics metrics(label->font());
    const QRect needed = metrics.boundingRect(
        QRect(QPoint(), label->size()), int(label->alignment()) | Qt::TextWordWrap, label->text());
    QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
             qPrintable(QStringLiteral("%1 needs %2x%3 in %4x%5")
                            .arg(label->objectName())
                            .arg(needed.width())
                            .arg(needed.height())
                            .arg(label->width())
                            .arg(label->height())));
}

}  // namespace

class ResultDialogsTest : public QObject {
    Q_OBJECT

  private slots:
    void notResponding();
    void responding();
    void textsWholeInAnyFaceAndSize_data();
    void textsWholeInAnyFaceAndSize();
    void everyWayOfClosingEndsTheModalWait_data();
    void everyWayOfClosingEndsTheModalWait();
    void readableInLightAndDarkThemes_data();
    void readableInLightAndDarkThemes();
    void contrastRatios_data();
    void contrastRatios();
    void keptOnScreen_data();
    void keptOnScreen();
    void placedOverThePanel_data();
    void placedOverThePanel();
};

void ResultDialogsTest::notResponding() {
    for (int showing = 0; showing < 2; ++showing) {  // a second showing is identical
        frmconnect dialog;
        QCOMPARE(dialog.windowTitle(), QString());
        QCOMPARE(dialog.geometry(), px(5340, 3360, 4680, 3195));
        QCOMPARE(dialog.Label1->text(),
                 QString("Projector is not responding,either it is not connected or Baud Rate is "
                         "incorrect. "));
        QCOMPARE(dialog.Label1->text().size(), 82);
        QCOMPARE(dialog.Label2->text(),
                 QString("Please ensure that the projector is connected properly, consult help "
                         "on opening page."));
        QCOMPARE(dialog.Label2->text().size(), 85);
        QCOMPARE(dialog.Label1->geometry(), px(480, 360, 3615, 975));
        QCOMPARE(dialog.Label2->geometry(), px(480, 1320, 3735, 975));
        QCOMPARE(dialog.Command1->geometry(), px(1680, 2400, 1215, 495));
        QCOMPARE(dialog.Command1->text(), QString("OK"));
        QCOMPARE(dialog.Label2->palette().color(QPalette::WindowText), QColor(Qt::black));
        for (QLabel* label : {dialog.Label1, dialog.Label2}) {
            QCOMPARE(label->font().pointSizeF(), 12.0);
            QCOMPARE(label->font().weight(), QFont::Normal);
            QVERIFY(label->wordWrap());
            QVERIFY(label->alignment() & Qt::AlignHCenter);
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
            verifyFits(label);
        }
        QVERIFY(!dialog.Command1->isDefault() && !dialog.Command1->autoDefault());
        QCOMPARE(dialog.accessibleName(),
                 QString("Projector is not responding,either it is not connected or Baud Rate is "
                         "incorrect."));
        QVERIFY(!dialog.windowIcon().isNull());
    }
}

void ResultDialogsTest::responding() {
    CONNECTION dialog;
    QCOMPARE(dialog.windowTitle(), QString());
    QCOMPARE(dialog.geometry(), px(5340, 3435, 4680, 3195));
    QCOMPARE(dialog.Label1->text(), QString("Projector is Responding."));
    QCOMPARE(dialog.Label1->text().size(), 24);
    QCOMPARE(dialog.Label1->geometry(), px(960, 480, 2655, 1095));
    QCOMPARE(dialog.Label1->font().pointSizeF(), 18.0);
    QCOMPARE(dialog.Command1->geometry(), px(1440, 2040, 1455, 615));
    verifyFits(dialog.Label1);
    QCOMPARE(dialog.findChildren<QLabel*>().size(), 1);
    QCOMPARE(dialog.accessibleName(), QString("Projector is Responding."));
    QVERIFY(!dialog.windowIcon().isNull());
}

void ResultDialogsTest::textsWholeInAnyFaceAndSize_data() {
    QTest::addColumn<bool>("notResponding");
    QTest::addColumn<QString>("family");
    QTest::addColumn<qreal>("scale");  // of the point size, as a screen of more dots per inch
    for (bool notResponding : {true, false})
        for (const char* family : {"Liberation Sans", "DejaVu Sans", "DejaVu Serif"})
            for (qreal scale : {1.0, 1.5, 2.0})
                QTest::addRow("%s %s %.1fx", notResponding ? "frmconnect" : "CONNECTION", family,
                              scale)
                    << notResponding << QString(family) << scale;
}

// Whatever the face and its size, every label's text is whole, the dialog keeps at least its
// drawn size and place, and OK stays below the texts and inside the dialog.
void ResultDialogsTest::textsWholeInAnyFaceAndSize() {
    QFETCH(bool, notResponding);
    QFETCH(QString, family);
    QFETCH(qreal, scale);
    std::unique_ptr<tolvane::ResultDialog> dialog;
    if (notResponding)
        dialog = std::make_unique<frmconnect>();
    else
        dialog = std::make_unique<CONNECTION>();
    const QRect drawn = dialog->geometry();
    const QList<QLabel*> labels = dialog->findChildren<QLabel*>();
    QHash<QLabel*, QRect> drawnLabels;
    for (QLabel* label : labels) {
        drawnLabels.insert(label, label->geometry());
        QFont font(family);
        font.setPointSizeF(label->font().pointSizeF() * scale);
        label->setFont(font);
    }
    dialog->fitToTexts();
    QCOMPARE(dialog->pos(), drawn.topLeft());
    QVERIFY(dialog->width() >= drawn.width() && dialog->height() >= drawn.height());
    const QRect ok = dialog->Command1->geometry();
    QVERIFY(QRect(QPoint(), dialog->size()).contains(ok));
    for (QLabel* label : labels) {
        verifyFits(label);
        QCOMPARE(label->x(), drawnLabels[label].x());
        QVERIFY(label->width() >= drawnLabels[label].width());
        QVERIFY(label->height() >= drawnLabels[label].height());
        QVERIFY(QRect(QPoint(), dialog->size()).contains(label->geometry()));
        QVERIFY2(ok.top() > label->geometry().bottom(), qPrintable(label->objectName()));
    }
}

// The OK button (clicked, or Enter or the number pad's Enter while it has the focus, as
// everywhere on the desktop), Escape and the close control each end the modal wait, once; the
// dialog is then hidden, and shown again as it was first shown, wherever it was moved.
void ResultDialogsTest::everyWayOfClosingEndsTheModalWait_data() {
    QTest::addColumn<int>("key");  // 0: no key
    QTest::addColumn<bool>("byCloseControl");
    QTest::newRow("OK clicked") << 0 << false;
    QTest::newRow("close control") << 0 << true;
    QTest::newRow("Enter") << int(Qt::Key_Return) << false;
    QTest::newRow("number pad Enter") << int(Qt::Key_Enter) << false;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << false;
}

void ResultDialogsTest::everyWayOfClosingEndsTheModalWait() {
    QFETCH(int, key);
    QFETCH(bool, byCloseControl);
    frmconnect dialog;
    const QRect drawn = dialog.geometry();
    QSignalSpy finished(&dialog, &QDialog::finished);
    for (int showing = 1; showing <= 2; ++showing) {
        QTimer::singleShot(50, &dialog, [&] {
            QCOMPARE(dialog.geometry(), drawn);
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog.Command1));
            QTest::keyClick(&dialog, Qt::Key_Space, Qt::ShiftModifier);  // no other key closes it
            QVERIFY(dialog.isVisible());
            if (key != 0)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key(key),
                                key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            else if (byCloseControl)
                dialog.close();
            else
                QTest::mouseClick(dialog.Command1, Qt::LeftButton);
        });
        QTimer::singleShot(3000, &dialog, [&] { dialog.done(99); });
        QCOMPARE(dialog.execOver(nullptr), int(QDialog::Rejected));
        QVERIFY(dialog.isHidden());
        QCOMPARE(finished.size(), showing);
        dialog.move(drawn.topLeft() + QPoint(40, 30));  // as a user drags it
    }
}

void ResultDialogsTest::readableInLightAndDarkThemes_data() {
    QTest::addColumn<QColor>("window");
    QTest::addColumn<QColor>("text");
    QTest::addColumn<QColor>("button");
    QTest::addColumn<QColor>("buttonText");
    QTest::newRow("light") << QColor(0xef, 0xef, 0xef) << QColor(Qt::black)
                           << QColor(0xef, 0xef, 0xef) << QColor(Qt::black);
    QTest::newRow("Fusion dark") << QColor(0x35, 0x35, 0x35) << QColor(Qt::white)
                                 << QColor(0x35, 0x35, 0x35) << QColor(Qt::white);
    QTest::newRow("Adwaita-Dark") << QColor(0x35, 0x35, 0x35) << QColor(0xee, 0xee, 0xec)
                                  << QColor(0x2d, 0x2d, 0x2d) << QColor(0xee, 0xee, 0xec);
    QTest::newRow("mid grey") << QColor(0x70, 0x70, 0x70) << QColor(Qt::white)
                              << QColor(0x60, 0x60, 0x60) << QColor(Qt::white);
}

// The second label is black where black reads; the arrows stand out from the button face.
void ResultDialogsTest::readableInLightAndDarkThemes() {
    QFETCH(QColor, window);
    QFETCH(QColor, text);
    QFETCH(QColor, button);
    QFETCH(QColor, buttonText);
    const QPalette saved = QApplication::palette();
    QPalette palette(text, button, button.lighter(), button.darker(), button.darker(150), text,
                     Qt::white, window, window);
    palette.setColor(QPalette::ButtonText, buttonText);
    QApplication::setPalette(palette);
    {
        frmconnect dialog;
        const QColor label2 = dialog.Label2->palette().color(QPalette::WindowText);
        QVERIFY2(contrastRatio(label2, window) >= 4.5, qPrintable(label2.name()));
        if (contrastRatio(Qt::black, window) >= 4.5) QCOMPARE(label2, QColor(Qt::black));
    }
    for (const char* arrow : {"arrow_up", "arrow_right", "arrow_down", "arrow_left"}) {
        const QIcon icon = tolvane::arrowIcon(arrow, palette);
        for (qreal scale : {1.0, 2.0}) {
            const QImage image = icon.pixmap(QSize(32, 32), scale).toImage();
            QCOMPARE(image.size(), QSize(32, 32) * scale);  // drawn at that size, not stretched
            // The arrow is the colour most of the picture's opaque pixels have.
            QHash<QRgb, int> counts;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (qAlpha(image.pixel(x, y)) == 255) ++counts[image.pixel(x, y)];
            QRgb ink = 0;
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                if (it.value() > counts.value(ink)) ink = it.key();
            QVERIFY2(
                contrastRatio(QColor(ink), button) >= 3.0,
                qPrintable(
                    QStringLiteral("%1 %2x: %3").arg(arrow).arg(scale).arg(QColor(ink).name())));
        }
    }
    QApplication::setPalette(saved);
}

void ResultDialogsTest::contrastRatios_data() {
    QTest::addColumn<QColor>("a");
    QTest::addColumn<QColor>("b");
    QTest::addColumn<double>("ratio");
    QTest::newRow("black on white") << QColor(Qt::black) << QColor(Qt::white) << 21.0;
    QTest::newRow("white on black") << QColor(Qt::white) << QColor(Qt::black) << 21.0;
    QTest::newRow("same") << QColor(0x35, 0x35, 0x35) << QColor(0x35, 0x35, 0x35) << 1.0;
    QTest::newRow("black on #353535") << QColor(Qt::black) << QColor(0x35, 0x35, 0x35) << 1.71;
    QTest::newRow("#767676 on white") << QColor(0x76, 0x76, 0x76) << QColor(Qt::white) << 4.54;
    QTest::newRow("pure red on white") << QColor(Qt::red) << QColor(Qt::white) << 4.0;
}

void ResultDialogsTest::contrastRatios() {
    QFETCH(QColor, a);
    QFETCH(QColor, b);
    QFETCH(double, ratio);
    QVERIFY2(qAbs(contrastRatio(a, b) - ratio) < 0.01,
             qPrintable(QString::number(contrastRatio(a, b))));
}

void ResultDialogsTest::keptOnScreen_data() {
    QTest::addColumn<QRect>("window");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QPoint>("placed");
    const QRect dialog(356, 224, 312, 213);
    QTest::newRow("fits: stays") << dialog << QRect(0, 0, 1024, 768) << QPoint(356, 224);
    QTest::newRow("2x on 1024x768") << dialog << QRect(0, 0, 512, 384) << QPoint(200, 171);
    QTest::newRow("panel at the top") << dialog << QRect(0, 30, 1024, 738) << QPoint(356, 224);
    QTest::newRow("second screen") << dialog << QRect(1024, 0, 800, 600) << QPoint(1024, 224);
    QTest::newRow("too small: top-left kept") << dialog << QRect(0, 0, 200, 100) << QPoint(0, 0);
}

void ResultDialogsTest::keptOnScreen() {
    QFETCH(QRect, window);
    QFETCH(QRect, screen);
    QFETCH(QPoint, placed);
    QCOMPARE(tolvane::keptOnScreen(window, screen), QRect(placed, window.size()));
}

void ResultDialogsTest::placedOverThePanel_data() {
    QTest::addColumn<QRect>("panel");  // its frame; empty: none
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("placed");
    const QSize panel(457, 395);
    const QRect small(0, 0, 1024, 768), wide(0, 0, 1920, 1080), right(1920, 0, 1280, 1024);
    QTest::newRow("no panel") << QRect() << small << small << QPoint(356, 224);
    QTest::newRow("panel where it opens")
        << QRect({0, 0}, panel) << small << small << QPoint(356, 224);
    QTest::newRow("panel just touching")
        << QRect({667, 436}, panel) << wide << wide << QPoint(356, 224);
    QTest::newRow("panel moved away")
        << QRect({1080, 560}, panel) << wide << wide << QPoint(1153, 651);
    QTest::newRow("panel partly off the screen: whole on it")
        << QRect({1080, 760}, panel) << wide << wide.adjusted(0, 0, 0, -40) << QPoint(1153, 827);
    QTest::newRow("panel on the right screen, where it opens")
        << QRect({1920 + 200, 100}, panel) << right << right << QPoint(1920 + 356, 224);
    QTest::newRow("panel on the right screen, moved away")
        << QRect({1920 + 700, 600}, panel) << right << right << QPoint(1920 + 773, 691);
}

// The drawn place counts from the panel's screen, and holds while the dialog there touches the
// panel; a panel moved away has the dialog over its middle instead. Whole on the screen either
// way.
void ResultDialogsTest::placedOverThePanel() {
    QFETCH(QRect, panel);
    QFETCH(QRect, screen);
    QFETCH(QRect, available);
    QFETCH(QPoint, placed);
    const QRect drawn(356, 224, 312, 213);
    const QRect place = tolvane::placeOverPanel(drawn, panel, screen, available);
    QCOMPARE(place, QRect(placed, drawn.size()));
    QVERIFY(available.contains(place));
}

QTEST_MAIN(ResultDialogsTest)
#include "test_result_dialogs.moc"
