#include <QAccessible>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyleOptionButton>
#include <QTest>

#include "fake_serial_layer.h"
#include "keypad_data.h"
#include "modal_closer.h"
#include "pty_pair.h"
#include "serial/messages.h"
#include "ui/frm_tolvane.h"

using namespace tolvane;
using namespace tolvane::testing;

namespace {

constexpr int kTwips = 15;

QRect pixels(const QRect& twips) {
    return {twips.left() / kTwips, twips.top() / kTwips, twips.width() / kTwips,
            twips.height() / kTwips};
}

struct Panel {
    FakeSerialLayer* port;
    std::unique_ptr<frmTolvane> window;
};

Panel makePanel(std::vector<int> refused = {}) {
    auto port = std::make_unique<FakeSerialLayer>();
    port->refusedPorts = std::move(refused);
    FakeSerialLayer* raw = port.get();
    return {raw, std::make_unique<frmTolvane>(std::move(port))};
}

// A key held down as X11 reports it when Qt misses that a release and the press after it are a
// repeat: neither marked, the two with one time stamp. Delivered as the window system's are: the
// shortcuts first, then the focused widget.
void holdOnX11(QWidget* focus, int key, Qt::KeyboardModifiers modifiers, const QString& text,
               int repeats) {
    static ulong time = 0;
    time += 10000;
    auto send = [&](QEvent::Type type, ulong at) {
        if (type == QEvent::KeyPress &&
            qt_sendShortcutOverrideEvent(focus, at, key, modifiers, text))
            return;
        QKeyEvent event(type, key, modifiers, text);
        event.setTimestamp(at);
        QSpontaneKeyEvent::setSpontaneous(&event);
        qApp->notify(focus, &event);
    };
    send(QEvent::KeyPress, time);
    for (int i = 1; i <= repeats; ++i) {
        send(QEvent::KeyRelease, time + 600 + 40 * i);
        send(QEvent::KeyPress, time + 600 + 40 * i);
    }
    send(QEvent::KeyRelease, time + 5000);
}

QList<QWidget*> topLevelsShown() {
    QList<QWidget*> shown;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) shown << w;
    return shown;
}

}  // namespace

class KeypadTest : public QObject {
    Q_OBJECT

  private slots:
    void controlsWhereTheTableSaysThey();
    void commItemsDescribeTheRealPorts();
    void openFailureSaysWhichAndWhy_data();
    void openFailureSaysWhichAndWhy();
    void captionsShowWhole();
    void focusOrder();
    void everyKeySendsItsTwoFrames();
    void keyboardPressesKeys_data();
    void keyboardPressesKeys();
    void exitAndHelpAreRemoteKeys();
    void menuChoosesThePort();
    void startUpFailureComesBeforeTheWindow_data();
    void startUpFailureComesBeforeTheWindow();
    void writeFailureIsReportedOnce();
    void lostPortIsShownWhileTried();
    void resizingMovesNothing();
    void closingEndsWithStatusZero();
};

void KeypadTest::controlsWhereTheTableSaysThey() {
    Panel p = makePanel();
    frmTolvane& w = *p.window;
    QCOMPARE(w.windowTitle(), QString("Tolvane"));
    QCOMPARE(w.centralWidget()->size(), QSize(6855 / kTwips, 5295 / kTwips));
    QCOMPARE(w.centralWidget()->findChildren<QPushButton*>().size(), 37);
    for (const ExpectedControl& c : keypadData().controls) {
        QPushButton* b = w.button(c.name);
        QVERIFY2(b, qPrintable(c.name));
        QCOMPARE(b->parentWidget()->objectName(),
                 c.container == "window" ? QString("client") : c.container);
        QCOMPARE(b->geometry(), pixels(c.twips));
        QCOMPARE(b->text(), c.caption);
        QCOMPARE(b->icon().isNull(), c.caption.size() > 0);
        QVERIFY(!b->isDefault() && !b->autoDefault());
        QVERIFY(!b->text().contains('&'));
        QVERIFY(!b->accessibleName().isEmpty());
    }
    QCOMPARE(w.button("mArrow_left")->accessibleName(), QString("Left"));
    QCOMPARE(w.button("mStandby_off")->accessibleName(), QString("Standby Off"));
    QCOMPARE(w.button("mPower_on")->accessibleName(), QString("Power On"));
    // Spoken at any punctuation level.
    QCOMPARE(w.button("mAsterick")->accessibleName(), QString("Star"));
    QCOMPARE(w.button("mPound")->accessibleName(), QString("Hash"));
    QCOMPARE(w.frame("Frame35")->accessibleName(), QString("Digits"));
    QCOMPARE(w.button("mAsterick")->font().pointSizeF(), 18.0);
    QCOMPARE(w.button("mAsterick")->font().weight(), QFont::Normal);
    QCOMPARE(w.button("mHelp")->font().pointSizeF(), w.button("mTint")->font().pointSizeF());

    for (const ExpectedFrame& f : keypadData().frames) {
        QVERIFY2(w.frame(f.name), qPrintable(f.name));
        QCOMPARE(w.frame(f.name)->title(), f.title);
        QCOMPARE(w.frame(f.name)->geometry(), pixels(f.twips));
    }
    QMenu* menu = w.menuBar()->findChild<QMenu*>("mnuCommport");
    QCOMPARE(menu->title(), QString("Comm Port"));
    QStringList items;
    for (QAction* a : menu->actions()) items << a->text() + (a->isChecked() ? "*" : "");
    QCOMPARE(items, QStringList({"Comm1*", "Comm2", "Comm3", "Comm4"}));
    QVERIFY(menu->toolTipsVisible());
    emit menu->aboutToShow();
    for (int n = 1; n <= 4; ++n)  // as the serial layer describes the device
        QCOMPARE(menu->actions()[n - 1]->toolTip(),
                 QStringLiteral("fake device %1: nothing is there").arg(n));
    // A screen reader's description of each item is the same; each is found in its place.
    QAccessibleInterface* menuInterface = QAccessible::queryAccessibleInterface(menu);
    QCOMPARE(menuInterface->text(QAccessible::Name), QString("Comm Port"));
    for (int n = 1; n <= 4; ++n) {
        QAccessibleInterface* item = menuInterface->child(n - 1);
        QCOMPARE(item->text(QAccessible::Description),
                 QStringLiteral("fake device %1: nothing is there").arg(n));
        QCOMPARE(menuInterface->indexOfChild(item), n - 1);
        const QPoint middle = item->rect().center();
        QCOMPARE(menuInterface->childAt(middle.x(), middle.y()), item);
        QCOMPARE(item->parent(), menuInterface);
    }
    QCOMPARE(w.menuBar()->actions().size(), 1);

    QCOMPARE(w.Timer1.interval(), 1000);
    QVERIFY(!w.Timer1.isActive());
    QCOMPARE(w.Timer1.timerType(), Qt::PreciseTimer);

    // Once shown, its icon is drawn at each size a desktop may show, up to a dock's 256 pixels,
    // not scaled up from less.
    w.show();
    for (int size : {16, 32, 48, 64, 128, 256})
        QTRY_COMPARE(w.windowIcon().actualSize(QSize(size, size)), QSize(size, size));
}

// The chosen caption font must not cut any caption inside its fixed button.
// The window as the program makes it, on the real transports: each Comm item says what it opens.
void KeypadTest::commItemsDescribeTheRealPorts() {
    Pty pty;
    const QByteArray missing = "/nonexistent/tolvane-port";
    const QByteArray names[] = {pty.path().toUtf8(), "tcp://127.0.0.1:1", missing,
                                "rfc2217://[::1]:2217"};
    for (int n = 1; n <= 4; ++n) qputenv("TOLVANE_COM" + QByteArray::number(n), names[n - 1]);
    const auto unset = qScopeGuard([] {
        for (int n = 1; n <= 4; ++n) qunsetenv("TOLVANE_COM" + QByteArray::number(n));
    });
    frmTolvane w(std::make_unique<SerialLayer>());
    QVERIFY(w.MSComm1().PortOpen());
    QMenu* menu = w.menuBar()->findChild<QMenu*>("mnuCommport");
    emit menu->aboutToShow();
    QStringList said;
    for (QAction* item : menu->actions()) said << item->toolTip();
    QCOMPARE(said, (QStringList{pty.path(), "tcp://127.0.0.1:1: a serial device server, raw TCP",
                                missing + ": nothing is there",
                                "rfc2217://[::1]:2217: a serial device server, line set over "
                                "Telnet (RFC 2217)"}));
}

// On the real transports, the open-failure box says which port failed and why, under the
// system's own text.
void KeypadTest::openFailureSaysWhichAndWhy_data() {
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("reason");
    QTest::newRow("nothing there") << false << "No such file or directory";
    QTest::newRow("held by another panel") << true << "in use by PID";
}

void KeypadTest::openFailureSaysWhichAndWhy() {
    QFETCH(bool, held);
    QFETCH(QString, reason);
    Pty pty;
    const QByteArray device = held ? pty.path().toUtf8() : "/nonexistent/tolvane-port";
    for (int n = 1; n <= 4; ++n) qputenv("TOLVANE_COM" + QByteArray::number(n), device);
    const auto unset = qScopeGuard([] {
        for (int n = 1; n <= 4; ++n) qunsetenv("TOLVANE_COM" + QByteArray::number(n));
    });
    SerialLayer holder;
    if (held) {
        holder.Settings("9600,N,8,1");
        holder.PortOpen(true);
    }
    ModalCloser closer;
    frmTolvane w(std::make_unique<SerialLayer>());
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(closer.seen[0].text, QString(kOpenFailedMessage.data()));
    const QStringList lines = closer.seen[0].details.split('\n');
    QCOMPARE(lines.value(0), "Comm1: " + QString(device));
    QVERIFY2(lines.value(1).startsWith(reason), qPrintable(closer.seen[0].details));
}

void KeypadTest::captionsShowWhole() {
    Panel p = makePanel();
    for (QPushButton* b : p.window->centralWidget()->findChildren<QPushButton*>()) {
        if (b->text().isEmpty()) continue;
        QStyleOptionButton option;
        option.initFrom(b);
        option.text = b->text();
        const QRect contents =
            b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
        const QFontMetrics metrics(b->font());
        QVERIFY2(metrics.horizontalAdvance(b->text()) <= contents.width(), qPrintable(b->text()));
        QVERIFY2(metrics.tightBoundingRect(b->text()).height() <= contents.height(),
                 qPrintable(b->text()));
    }
    for (QGroupBox* frame : p.window->findChildren<QGroupBox*>())
        QVERIFY(QFontMetrics(frame->font()).horizontalAdvance(frame->title()) < frame->width());
}

void KeypadTest::focusOrder() {
    Panel p = makePanel();
    frmTolvane& w = *p.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(QApplication::focusWidget(), w.button("mArrow_up"));
    QStringList order;
    for (int i = 0; i < 38; ++i) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QStringList expected;
    for (const ExpectedControl& c : keypadData().controls) expected << c.name;
    expected << "mArrow_up";  // Tab on mPound wraps round
    QCOMPARE(order, expected);
}

void KeypadTest::everyKeySendsItsTwoFrames() {
    Panel p = makePanel();
    p.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(p.window.get()));
    for (const ExpectedControl& key : keypadData().keys()) {
        p.port->transcript.clear();
        QTest::mouseClick(p.window->button(key.name), Qt::LeftButton);
        const std::vector<std::string> expected{"write " + key.leadIn, "write " + key.keyFrame};
        QCOMPARE(p.port->transcript, expected);
    }
    // The space bar on the focused key is a click too.
    p.port->transcript.clear();
    p.window->button("m5")->setFocus();
    QTest::keyClick(p.window->button("m5"), Qt::Key_Space);
    QCOMPARE(p.port->transcript.size(), std::size_t{2});
    // Held down on X11 with its repeats unmarked: still one click.
    p.port->transcript.clear();
    holdOnX11(p.window->button("m5"), Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), 2);
    QCOMPARE(p.port->transcript.size(), std::size_t{2});
}

// Each shortcut, typed wherever the focus is, puts its key's two frames on the line; a held key
// repeats only for the cursor keys. Digits work from the number pad too.
void KeypadTest::keyboardPressesKeys_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("keypad");
    for (const ExpectedControl& key : keypadData().keys()) {
        if (key.shortcut.isEmpty()) continue;
        QTest::newRow(qPrintable(key.name)) << key.name << false;
        if ((key.shortcut.size() == 1 && key.shortcut[0].isDigit()) || key.shortcut == "Return")
            QTest::newRow(qPrintable(key.name + " (number pad)")) << key.name << true;
    }
}

void KeypadTest::keyboardPressesKeys() {
    QFETCH(QString, key);
    QFETCH(bool, keypad);
    const ExpectedControl& expected = keypadData().control(key);
    Panel p = makePanel();
    frmTolvane& w = *p.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QVERIFY(w.button(key)->toolTip().contains(expected.shortcut));
    // The number pad's Enter is a key of its own.
    const QKeyCombination typed = keypad && expected.shortcut == "Return"
                                      ? QKeyCombination(Qt::Key_Enter)
                                      : QKeySequence(expected.shortcut)[0];
    const Qt::KeyboardModifiers modifiers =
        typed.keyboardModifiers() | (keypad ? Qt::KeypadModifier : Qt::NoModifier);
    const QString text = typed.key() < 0x80 ? QString(QChar(int(typed.key()))) : QString();
    const std::vector<std::string> frames{"write " + expected.leadIn, "write " + expected.keyFrame};
    for (const char* focus : {"mArrow_up", "m5", "CHECK_CONNECTION", "mPound"}) {
        w.button(focus)->setFocus();
        p.port->transcript.clear();
        QTest::keyClick(w.button(focus), typed.key(), modifiers);
        QCOMPARE(p.port->transcript, frames);
        QCOMPARE(QApplication::focusWidget(), w.button(focus));
        // The key held down: the system repeats the press.
        p.port->transcript.clear();
        QTest::simulateEvent(w.button(focus), true, typed.key(), modifiers, text, true);
        QTest::simulateEvent(w.button(focus), false, typed.key(), modifiers, text, false);
        QCOMPARE(p.port->transcript.size(), key.startsWith("mArrow") ? std::size_t{2} : 0);
        // Held down on X11 with its repeats unmarked: pressed once, or once a repeat.
        p.port->transcript.clear();
        holdOnX11(w.button(focus), typed.key(), modifiers, text, 2);
        QCOMPARE(p.port->transcript.size(), key.startsWith("mArrow") ? std::size_t{6} : 2);
    }
}

void KeypadTest::exitAndHelpAreRemoteKeys() {
    Panel p = makePanel();
    p.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(p.window.get()));
    const auto before = topLevelsShown();
    for (const char* name : {"mExit", "mHelp"}) {
        QTest::mouseClick(p.window->button(name), Qt::LeftButton);
        QTest::qWait(20);
        QVERIFY(p.window->isVisible());
        QCOMPARE(topLevelsShown(), before);
    }
    QCOMPARE(p.port->written.size(), std::size_t{4});
}

void KeypadTest::menuChoosesThePort() {
    Panel p = makePanel({3});
    frmTolvane& w = *p.window;
    ModalCloser closer;
    QAction* items[] = {w.mnucom1, w.Mnucom2, w.mnucom3, w.mnucom4};
    for (int n : {2, 3, 4, 4, 1}) {
        p.port->transcript.clear();
        items[n - 1]->trigger();
        // A failed open's box comes after the action has returned; it then waits for its OK.
        QCOMPARE(closer.seen.size(), 0);
        if (n == 3) {
            QTRY_COMPARE(closer.seen.size(), 1);
            QCOMPARE(closer.seen[0].text, QString(kOpenFailedMessage.data()));
            closer.seen.clear();
        }
        for (int i = 0; i < 4; ++i) QCOMPARE(items[i]->isChecked(), i == n - 1);
        QCOMPARE(p.port->CommPort(), std::int16_t(n));
        QCOMPARE(p.port->PortOpen(), n != 3);
        QCOMPARE(p.port->transcript.back(), "open fake device " + std::to_string(n));
    }
}

// The system's reason comes in the user's language, in UTF-8.
void KeypadTest::startUpFailureComesBeforeTheWindow_data() {
    QTest::addColumn<QString>("reason");
    QTest::newRow("in English") << "refused by the test";
    QTest::newRow("in French") << QString::fromUtf8("accès refusé par le test");
}

void KeypadTest::startUpFailureComesBeforeTheWindow() {
    QFETCH(QString, reason);
    ModalCloser closer;
    auto port = std::make_unique<FakeSerialLayer>();
    port->refusedPorts = {1};
    port->refusal = reason.toStdString();
    Panel p{port.get(), std::make_unique<frmTolvane>(std::move(port))};
    QCOMPARE(closer.seen.size(), 1);
    const auto& box = closer.seen[0];
    QCOMPARE(box.className, QString("QMessageBox"));
    QCOMPARE(box.title, QString("Tolvane"));
    QCOMPARE(box.text,
             QString("Error while opening comm port. Ensure that a valid comm port is selected"));
    QCOMPARE(box.details, "Comm1: fake device 1\n" + reason);
    QVERIFY(!p.window->isVisible());
    // The window then opens all the same, Comm1 checked and the port closed.
    p.window->show();
    QVERIFY(p.window->mnucom1->isChecked());
    QVERIFY(!p.port->PortOpen());
}

// A port that went away is shown as such while it is tried again: in the checked item's
// description, and in the write message's further text, instead of blaming the port choice.
void KeypadTest::lostPortIsShownWhileTried() {
    Panel p = makePanel();
    p.port->refusedPorts = {1};  // not back yet
    p.port->hangUp();
    QMenu* menu = p.window->menuBar()->findChild<QMenu*>("mnuCommport");
    emit menu->aboutToShow();
    const QRegularExpression lost("; lost, trying again since \\d\\d:\\d\\d$");
    QVERIFY2(lost.match(p.window->mnucom1->toolTip()).hasMatch(),
             qPrintable(p.window->mnucom1->toolTip()));
    QVERIFY(!lost.match(p.window->Mnucom2->toolTip()).hasMatch());
    ModalCloser closer;
    QTest::mouseClick(p.window->button("mMute"), Qt::LeftButton);
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(closer.seen[0].text, QString(kWriteFailedMessage.data()));
    QVERIFY2(closer.seen[0].details.contains("lost, trying again since"),
             qPrintable(closer.seen[0].details));
}

void KeypadTest::writeFailureIsReportedOnce() {
    Panel p = makePanel({2});
    frmTolvane& w = *p.window;
    w.show();
    ModalCloser closer;
    closer.onOpen = [](QWidget* box) {
        auto* message = qobject_cast<QMessageBox*>(box);
        QVERIFY(message && message->icon() == QMessageBox::NoIcon);
        QCOMPARE(message->buttons().size(), 1);
    };
    w.Mnucom2->trigger();  // fails: the port is left closed
    QTRY_COMPARE(closer.seen.size(), 1);
    closer.seen.clear();
    p.port->transcript.clear();
    QTest::mouseClick(w.button("mMute"), Qt::LeftButton);
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(closer.seen[0].text, QString(kWriteFailedMessage.data()));
    QVERIFY(p.port->transcript.empty());  // neither frame reaches a closed port
    // A working port makes the next press work.
    w.mnucom1->trigger();
    QTest::mouseClick(w.button("mMute"), Qt::LeftButton);
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(p.port->written.size(), std::size_t{2});
}

void KeypadTest::resizingMovesNothing() {
    Panel p = makePanel();
    frmTolvane& w = *p.window;
    w.show();
    QHash<QString, QRect> before;
    for (QWidget* c : w.centralWidget()->findChildren<QWidget*>())
        before[c->objectName()] = c->geometry();
    // The window itself has a fixed size; a larger client area (as a window system that ignores
    // the size hints would give) must still move nothing: no layout manages the keys.
    w.centralWidget()->setFixedSize(w.centralWidget()->size() + QSize(200, 150));
    QTest::qWait(20);
    for (QWidget* c : w.centralWidget()->findChildren<QWidget*>())
        QCOMPARE(c->geometry(), before.value(c->objectName()));
}

void KeypadTest::closingEndsWithStatusZero() {
    Panel p = makePanel();
    p.window->show();
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    QTimer::singleShot(0, p.window.get(), &QWidget::close);
    QTimer::singleShot(2000, qApp, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(lastClosed.size(), 1);
}

QTEST_MAIN(KeypadTest)
#include "test_keypad.moc"
