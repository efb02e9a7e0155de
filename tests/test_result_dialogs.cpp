#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "ui/result_dialog.h"

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
    void okAndCloseControlBothEndTheModalWait();
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
}

void ResultDialogsTest::okAndCloseControlBothEndTheModalWait() {
    for (bool byCloseControl : {false, true}) {
        QPointer<frmconnect> dialog = new frmconnect;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QTimer::singleShot(50, dialog, [&] {
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog->Command1));
            QTest::keyClick(dialog, Qt::Key_Escape);  // no cancel button: Escape does nothing
            QVERIFY(dialog->isVisible());
            if (byCloseControl)
                dialog->close();
            else
                QTest::mouseClick(dialog->Command1, Qt::LeftButton);
        });
        QTimer::singleShot(3000, dialog, [&] { dialog->done(99); });
        QCOMPARE(dialog->exec(), int(QDialog::Rejected));
        QTRY_VERIFY(dialog.isNull());
    }
}

QTEST_MAIN(ResultDialogsTest)
#include "test_result_dialogs.moc"
