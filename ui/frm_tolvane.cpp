#include "ui/frm_tolvane.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QScopeGuard>
#include <QSet>
#include <QShortcut>
#include <QWindow>
#include <optional>
#include <stdexcept>

#include "serial/messages.h"
#include "transport/logging.h"
#include "ui/artwork.h"
#include "ui/keypad_layout.h"
#include "ui/result_dialog.h"

using namespace tolvane;

// What the user was shown: each message box and result dialog is a debug line (off by default,
// QT_LOGGING_RULES="tolvane.ui.debug=true" shows them), so a log says what the user saw and when.
Q_LOGGING_CATEGORY(lcUi, "tolvane.ui", QtInfoMsg)

namespace {

constexpr int kArrowPixels = 32;

using ClickHandler = void (frmTolvane::*)();

// What a key or button of the layout runs when clicked; none for any other name. (Optional
// rather than null: a sanitized build cannot compare a member pointer in a constant expression.)
constexpr std::optional<ClickHandler> handlerFor(std::string_view control) {
#define TOLVANE_HANDLER(key) \
    if (control == #key) return &frmTolvane::key##_Click;
    TOLVANE_REMOTE_KEYS(TOLVANE_HANDLER)
#undef TOLVANE_HANDLER
    if (control == "CHECK_CONNECTION") return &frmTolvane::CHECK_CONNECTION_Click;
    return std::nullopt;
}

// The first layout key or button without a click handler, or kNoRow.
consteval int firstUnhandledRow() {
    for (std::size_t i = 0; i < kKeypadLayout.size(); ++i)
        if (kKeypadLayout[i].kind != Kind::Frame && !handlerFor(kKeypadLayout[i].name))
            return static_cast<int>(i);
    return kNoRow;
}
static_assert(firstUnhandledRow() == kNoRow,
              "keypad layout row (index above) has no click handler in frmTolvane");

// The menu bar takes every key while it has the keyboard (after Alt, where the style offers
// that): the arrow keys, Enter and Escape that move in it would otherwise press the remote's
// keys, whose shortcuts are tried first.
class KeypadMenuBar : public QMenuBar {
  public:
    using QMenuBar::QMenuBar;

  protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::ShortcutOverride) return QMenuBar::event(event);
        event->accept();
        return true;
    }
};

// A Comm item as a screen reader finds it: a check box in the menu, checked or not, described
// by the device it opens (its tooltip, looked up each time the menu opens). Qt's own menu items
// have no description, and Qt passes on neither a checkable menu item's role nor its being
// checkable to the desktop's accessibility bus, so that an item not checked would read as a
// plain one.
class CommItemAccessible : public QAccessibleObject, public QAccessibleActionInterface {
  public:
    explicit CommItemAccessible(QAction* item) : QAccessibleObject(item) {}

    QWindow* window() const override { return menu()->windowHandle(); }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(menu());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::CheckBox; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.invisible = !menu()->isVisible() || !item()->isVisible();
        state.focusable = true;
        state.focused = menu()->activeAction() == item();
        state.disabled = !item()->isEnabled();
        state.checkable = item()->isCheckable();
        state.checked = item()->isChecked();
        return state;
    }
    QString text(QAccessible::Text kind) const override {
        switch (kind) {
            case QAccessible::Name:
                return item()->text();
            case QAccessible::Description:  // until described, the tooltip is the caption
                return item()->toolTip() == item()->text() ? QString() : item()->toolTip();
            default:
                return {};
        }
    }
    QRect rect() const override {
        return menu()->actionGeometry(item()).translated(menu()->mapToGlobal(QPoint()));
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        if (name == pressAction() && item()->isEnabled()) item()->trigger();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

  private:
    QAction* item() const { return static_cast<QAction*>(object()); }
    // Only items of the Comm Port menu are made into these.
    QMenu* menu() const { return static_cast<QMenu*>(item()->parent()); }
};

// The Comm Port menu around those items: Qt's own menu counts only menu items as its children.
class CommMenuAccessible : public QAccessibleWidget {
  public:
    explicit CommMenuAccessible(QMenu* menu)
        : QAccessibleWidget(menu, QAccessible::PopupMenu, menu->title()) {}

    int childCount() const override { return int(menu()->actions().size()); }
    QAccessibleInterface* child(int index) const override {
        return QAccessible::queryAccessibleInterface(menu()->actions().value(index));
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return int(menu()->actions().indexOf(qobject_cast<QAction*>(child->object())));
    }
    // The menu bar's item that opens it.
    QAccessibleInterface* parent() const override {
        QWidget* bar = menu()->parentWidget();
        QAccessibleInterface* barInterface = QAccessible::queryAccessibleInterface(bar);
        return barInterface ? barInterface->child(int(bar->actions().indexOf(menu()->menuAction())))
                            : nullptr;
    }

  private:
    QMenu* menu() const { return static_cast<QMenu*>(widget()); }
};

// Marks the Comm Port menu and its items for commMenuAccessible().
constexpr const char* kCommMenuProperty = "tolvaneCommMenu";

QAccessibleInterface* commMenuAccessible(const QString& className, QObject* object) {
    if (!object || !object->property(kCommMenuProperty).toBool()) return nullptr;
    if (auto* item = qobject_cast<QAction*>(object); item && className == QLatin1String("QAction"))
        return new CommItemAccessible(item);
    if (auto* menu = qobject_cast<QMenu*>(object); menu && className == QLatin1String("QMenu"))
        return new CommMenuAccessible(menu);
    return nullptr;
}

// A remote key that does not repeat is pressed once however long its computer key is held, and
// so is the key that Space presses. X11 gives each repeat of a held key, a release and a press,
// one time stamp; Qt tells repeats by looking ahead for that press, and when it has not arrived
// yet (a busy panel) takes the release for a real one and the press for a new one. So a press at
// the very time of its key's last release is taken for a repeat here too.
class OnePressWhileHeld : public QObject {
  public:
    // once: the keys that do not repeat on the remote; Space and Select join them.
    OnePressWhileHeld(QWidget* window, QSet<int> once)
        : QObject(window), window_(window), once_(std::move(once)) {
        once_ << Qt::Key_Space << Qt::Key_Select;
        qApp->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::KeyPress && type != QEvent::KeyRelease &&
            type != QEvent::ShortcutOverride)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto* widget = qobject_cast<QWidget*>(receiver);
        if (!once_.contains(key->key()) ||
            (receiver != window_->windowHandle() && (!widget || widget->window() != window_)))
            return false;
        const quint32 id = key->nativeScanCode() != 0 ? key->nativeScanCode() : quint32(key->key());
        if (type == QEvent::KeyRelease) {
            released_[id] = key->timestamp();
            return false;
        }
        const bool repeat = key->isAutoRepeat() ||
                            (key->timestamp() != 0 && released_.value(id) == key->timestamp());
        if (!repeat) return false;
        event->accept();  // as a shortcut override: no shortcut; the press that follows is dropped
        return true;
    }

  private:
    QWidget* window_;
    QSet<int> once_;                    // the keys that do not repeat
    QHash<quint32, quint64> released_;  // each key's last release: its time stamp
};

}  // namespace

frmTolvane::frmTolvane(std::unique_ptr<SerialLayer> port)
    : MSComm1_(port ? std::move(port) : throw std::invalid_argument("frmTolvane: no serial layer")),
      ports_(*MSComm1_, *this) {
    ports_.ownCheckWaiting = [this] { return Timer1.isActive(); };
    Timer1.setInterval(kReplyTimeout);
    Timer1.setTimerType(Qt::PreciseTimer);
    waitBound_.setSingleShot(true);
    waitBound_.setInterval(kWaitBound);
    waitBound_.setTimerType(Qt::PreciseTimer);
    setObjectName(QStringLiteral("frmTolvane"));
    setWindowTitle(QStringLiteral("Tolvane"));
    setWindowIcon(appIcon());
    connect(&Timer1, &QTimer::timeout, this, &frmTolvane::Timer1_Timer);
    buildMenu();
    buildKeypad();
    Form_Load();
}

frmTolvane::~frmTolvane() = default;

void frmTolvane::buildMenu() {
    QAccessible::installFactory(&commMenuAccessible);  // a second time changes nothing
    setMenuBar(new KeypadMenuBar(this));
    QMenu* mnuCommport = menuBar()->addMenu(QStringLiteral("Comm Port"));
    mnuCommport->setObjectName(QStringLiteral("mnuCommport"));
    mnuCommport->setProperty(kCommMenuProperty, true);
    auto add = [&](const char* name, const char* caption, void (frmTolvane::*handler)()) {
        QAction* item = mnuCommport->addAction(QLatin1String(caption));
        item->setObjectName(QLatin1String(name));
        item->setCheckable(true);
        item->setProperty(kCommMenuProperty, true);
        connect(item, &QAction::triggered, this, handler);
        return item;
    };
    mnucom1 = add("mnucom1", "Comm1", &frmTolvane::MnuCom1_Click);
    Mnucom2 = add("Mnucom2", "Comm2", &frmTolvane::MnuCom2_Click);
    mnucom3 = add("mnucom3", "Comm3", &frmTolvane::MnuCom3_Click);
    mnucom4 = add("mnucom4", "Comm4", &frmTolvane::Mnucom4_Click);
    // Each item names the device it opens, looked up whenever the menu opens (adapters come and
    // go), and not at start, which it would slow.
    mnuCommport->setToolTipsVisible(true);
    connect(mnuCommport, &QMenu::aboutToShow, this, [this] {
        QAction* items[] = {mnucom1, Mnucom2, mnucom3, mnucom4};
        for (std::int16_t n = 1; n <= 4; ++n)
            items[n - 1]->setToolTip(QString::fromStdString(
                MSComm1_->describePort(n) +
                (n == ports_.chosenItem() && ports_.retrying() ? "; " + ports_.retryNote() : "")));
    });
    // The title has no access key (none is drawn): F10 opens the menu from anywhere in the
    // window; where the style offers it, Alt then an arrow key, Enter or Space does too.
    auto* open = new QShortcut(QKeySequence(Qt::Key_F10), this);
    open->setContext(Qt::WindowShortcut);
    connect(open, &QShortcut::activated, this,
            [this, mnuCommport] { menuBar()->setActiveAction(mnuCommport->menuAction()); });
}

void frmTolvane::buildKeypad() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(toPixels(kKeypadWidthTwips), toPixels(kKeypadHeightTwips));
    client->setFont(sansFont(kCaptionPointSize));
    setCentralWidget(client);

    QWidget* previous = nullptr;
    QSet<int> once;  // the computer keys that press a key once however long they are held
    for (const ControlLayout& row : kKeypadLayout) {
        QWidget* parent = row.container.empty() ? client : frame(qstr(row.container));
        // A key shows its key table row's caption, unless it shows a picture.
        const QString caption =
            qstr(row.kind == Kind::Key && row.picture.empty() ? findKey(row.name)->caption
                                                              : row.caption);
        QWidget* control = row.kind == Kind::Frame
                               ? static_cast<QWidget*>(new QGroupBox(caption, parent))
                               : new QPushButton(caption, parent);
        control->setObjectName(qstr(row.name));
        control->setGeometry(toPixels(QRect(row.left, row.top, row.width, row.height)));
        control->setAccessibleName(qstr(row.accessibleName));
        auto* key = qobject_cast<QPushButton*>(control);
        if (!key) continue;  // a frame
        key->setAutoDefault(false);
        if (!row.picture.empty()) {
            key->setProperty("picture", qstr(row.picture));
            key->setIcon(arrowIcon(qstr(row.picture), key->palette()));
            key->setIconSize(QSize(kArrowPixels, kArrowPixels));
        }
        if (row.pointSize != 0) key->setFont(sansFont(row.pointSize));
        connect(key, &QPushButton::clicked, this, *handlerFor(row.name));
        // The computer key presses the remote key wherever the focus is in the window (so Enter
        // is the remote's Enter, not a press of the focused key: Space presses that); only keys
        // that repeat on the remote repeat when held.
        if (!row.shortcut.keys.empty()) {
            QStringList names;
            for (const QKeySequence& keys : QKeySequence::listFromString(qstr(row.shortcut.keys))) {
                auto* press = new QShortcut(keys, this);
                press->setContext(Qt::WindowShortcut);
                press->setAutoRepeat(row.shortcut.repeats);
                connect(press, &QShortcut::activated, key, &QPushButton::click);
                names << keys.toString(QKeySequence::NativeText);
                if (!row.shortcut.repeats) once.insert(keys[0].key());
            }
            key->setToolTip(QStringLiteral("Shortcut: %1").arg(names.join(QStringLiteral(" or "))));
        }
        if (previous) setTabOrder(previous, key);
        previous = key;
    }
    button(QStringLiteral("mArrow_up"))->setFocus();
    setFixedSize(sizeHint());
    new OnePressWhileHeld(this, once);
}

// Each size of a window's icon is decoded and sent to the window system before the window
// appears; the large ones would delay that by a few milliseconds, so they follow the first showing.
void frmTolvane::showEvent(QShowEvent* event) {
    if (!shown_) QTimer::singleShot(0, this, [this] { setWindowIcon(appIcon(true)); });
    shown_ = true;
    QMainWindow::showEvent(event);
}

// A change of theme redraws the arrows in the new palette's colours.
void frmTolvane::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        for (QPushButton* key : findChildren<QPushButton*>())
            if (const QString picture = key->property("picture").toString(); !picture.isEmpty())
                key->setIcon(arrowIcon(picture, key->palette()));
    QMainWindow::changeEvent(event);
}

// A click handler per remote key; the key's row is found when this compiles.
#define TOLVANE_DEFINE_CLICK(key)                                                          \
    void frmTolvane::key##_Click() {                                                       \
        constexpr std::size_t row = keyIndex(#key);                                        \
        static_assert(row < kKeys.size(), "frmTolvane::" #key "_Click: no key table row"); \
        ports_.pressKey(kKeys[row]);                                                       \
    }
TOLVANE_REMOTE_KEYS(TOLVANE_DEFINE_CLICK)
#undef TOLVANE_DEFINE_CLICK

// A message from a menu item's action is shown once the action has returned, so that whoever
// triggered it (a screen reader's press among them) is not held until the box is closed.
void frmTolvane::selectPortFromMenu(int item) {
    inMenuAction_ = true;
    ports_.selectPort(item);
    inMenuAction_ = false;
}

void frmTolvane::CHECK_CONNECTION_Click() {
    if (ports_.ownCheckStarting) ports_.ownCheckStarting();
    // A click still queued when the window began to close starts nothing.
    if (closing_) return;
    if (checksWaiting_ >= kMaxNestedChecks) {
        if (!ignoringChecks_)
            qCInfo(lcSerial) << "Check Connection clicked while" << checksWaiting_
                             << "checks wait; ignoring clicks until one ends";
        ignoringChecks_ = true;
        return;
    }
    ignoringChecks_ = false;
    ++checksWaiting_;
    const auto done = qScopeGuard([this] { --checksWaiting_; });
    bool probed = false;
    try {
        sendProbe(*MSComm1_);
        probed = true;
        // A nested check shares the running timer: it does not extend the first one's wait.
        if (!Timer1.isActive()) Timer1.start();
        wait(1);
    } catch (const SerialError& error) {
        // A port that vanished under a waiting check ends it: the timer is never left running.
        if (probed) Timer1.stop();
        showMessage(messageFor(error.kind()), {});
        return;
    }
    // A stopped timer means the time-out has been told already (perhaps by a nested check).
    const bool answered = !closing_ && Timer1.isActive();
    Timer1.stop();
    if (!answered) return;
    qCDebug(lcUi) << "result dialog: responding";
    if (!CONNECTION_) CONNECTION_ = std::make_unique<CONNECTION>();
    CONNECTION_->execOver(this);
}

void frmTolvane::Timer1_Timer() {
    Timer1.stop();
    qCDebug(lcUi) << "result dialog: not responding";
    if (!frmconnect_) frmconnect_ = std::make_unique<frmconnect>();
    frmconnect_->execOver(this);
}

// Each pass runs the pending events, then looks at the timer, then at the count. Every pass but
// the first sleeps until an event arrives, instead of spinning, but for kWaitBound at most, so
// that bytes counted without an event are seen too.
void frmTolvane::wait(const std::int16_t& count) {
    for (auto flags = QEventLoop::AllEvents;; flags = QEventLoop::WaitForMoreEvents) {
        waitBound_.start();  // its own event ends the sleep if nothing else does
        QCoreApplication::processEvents(flags);
        waitBound_.stop();
        if (closing_ || !Timer1.isActive() || takeReply(*MSComm1_, count)) return;
    }
}

void frmTolvane::setPortChecked(int item, bool checked) {
    QAction* items[] = {mnucom1, Mnucom2, mnucom3, mnucom4};
    items[item - 1]->setChecked(checked);
}

void frmTolvane::showMessage(std::string_view text, std::string_view details) {
    auto show = [this, text = qstr(text), details = qstr(details)] {
        qCDebug(lcUi).noquote() << "message box:" << text;
        if (!details.isEmpty())
            qCDebug(lcUi).noquote()
                << "message box details:" << QString(details).replace('\n', " | ");
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tolvane"), text, QMessageBox::Ok,
                        isVisible() ? this : nullptr);
        // What failed, where and why, for a panel started from the desktop, whose standard error
        // nobody reads.
        box.setInformativeText(details);
        box.button(QMessageBox::Ok)->setIcon(QIcon());  // a plain "OK", as on the result dialogs
        box.exec();
    };
    if (inMenuAction_)
        QTimer::singleShot(0, this, [this, show] {
            if (!closing_) show();
        });
    else
        show();
}

void frmTolvane::closeEvent(QCloseEvent* event) {
    // A check waiting inside this window's events sees this and ends without a result.
    closing_ = true;
    Timer1.stop();
    ports_.stopRetrying();
    QMainWindow::closeEvent(event);
}
