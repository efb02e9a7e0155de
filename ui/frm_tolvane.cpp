#include "ui/frm_tolvane.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QShortcut>
#include <array>
#include <stdexcept>

#include "ui/artwork.h"
#include "ui/fonts.h"
#include "ui/keypad_layout.h"
#include "ui/logging.h"
#include "ui/result_dialog.h"

using namespace tolvane;

Q_LOGGING_CATEGORY(lcUi, "tolvane.ui", QtInfoMsg)

namespace {

constexpr int kArrowPixels = 32;

QRect pixels(const ControlLayout& row) {
    return {toPixels(row.left), toPixels(row.top), toPixels(row.width), toPixels(row.height)};
}

QString qstr(std::string_view s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

using ClickHandler = void (frmTolvane::*)();
struct ClickRow {
    std::string_view control;
    ClickHandler handler;
};

// What each key and button of the layout runs when clicked.
constexpr auto kClickHandlers = std::to_array<ClickRow>({
#define TOLVANE_HANDLER_ROW(key) {#key, &frmTolvane::key##_Click},
    TOLVANE_REMOTE_KEYS(TOLVANE_HANDLER_ROW)
#undef TOLVANE_HANDLER_ROW
        {"CHECK_CONNECTION", &frmTolvane::CHECK_CONNECTION_Click},
});

// The row of the handler for this control, or kClickHandlers.size(); an index, for the reason
// given at keyIndex().
constexpr std::size_t clickRowOf(std::string_view control) {
    std::size_t i = 0;
    while (i < kClickHandlers.size() && kClickHandlers[i].control != control) ++i;
    return i;
}

// The first layout key or button without a click handler, or kNoRow.
consteval int firstUnhandledRow() {
    for (std::size_t i = 0; i < kKeypadLayout.size(); ++i)
        if (kKeypadLayout[i].kind != Kind::Frame &&
            clickRowOf(kKeypadLayout[i].name) == kClickHandlers.size())
            return static_cast<int>(i);
    return kNoRow;
}

// The first click handler without a key or button in the layout, or kNoRow.
consteval int firstHandlerWithoutButton() {
    for (std::size_t i = 0; i < kClickHandlers.size(); ++i) {
        bool found = false;
        for (const ControlLayout& row : kKeypadLayout)
            found = found || (row.kind != Kind::Frame && row.name == kClickHandlers[i].control);
        if (!found) return static_cast<int>(i);
    }
    return kNoRow;
}
static_assert(firstUnhandledRow() == kNoRow,
              "keypad layout row (index above) has no click handler in frmTolvane");
static_assert(firstHandlerWithoutButton() == kNoRow,
              "click handler (index above) has no key or button in the keypad layout");

}  // namespace

frmTolvane::frmTolvane(std::unique_ptr<SerialLayer> port)
    : MSComm1_(port ? std::move(port) : throw std::invalid_argument("frmTolvane: no serial layer")),
      ports_(*MSComm1_, *this),
      check_(*MSComm1_, *this) {
    ports_.ownCheckWaiting = [this] { return Timer1.isActive(); };
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
    QMenu* mnuCommport = menuBar()->addMenu(QStringLiteral("Comm Port"));
    mnuCommport->setObjectName(QStringLiteral("mnuCommport"));
    auto add = [&](const char* name, const char* caption, void (frmTolvane::*handler)()) {
        QAction* item = mnuCommport->addAction(QLatin1String(caption));
        item->setObjectName(QLatin1String(name));
        item->setCheckable(true);
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
    connect(mnuCommport, &QMenu::aboutToShow, this, &frmTolvane::describePorts);
}

void frmTolvane::describePorts() {
    QAction* items[] = {mnucom1, Mnucom2, mnucom3, mnucom4};
    for (std::int16_t n = 1; n <= 4; ++n)
        items[n - 1]->setToolTip(QString::fromStdString(
            MSComm1_->describePort(n) +
            (n == ports_.chosenItem() && ports_.retrying() ? "; " + ports_.retryNote() : "")));
}

void frmTolvane::buildKeypad() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(toPixels(kKeypadWidthTwips), toPixels(kKeypadHeightTwips));
    client->setFont(sansFont(kCaptionPointSize));
    setCentralWidget(client);

    QHash<QString, QWidget*> containers{{QString(), client}};  // by frame name; "" the window
    QWidget* previous = nullptr;
    for (const ControlLayout& row : kKeypadLayout) {
        const QString name = qstr(row.name);
        QWidget* parent = containers.value(qstr(row.container));
        if (row.kind == Kind::Frame) {
            auto* frame = new QGroupBox(qstr(row.caption), parent);
            frame->setObjectName(name);
            frame->setGeometry(pixels(row));
            frame->setAccessibleName(qstr(row.accessibleName));
            frames_.insert(name, frame);
            containers.insert(name, frame);
            continue;
        }
        auto* key = new QPushButton(qstr(row.caption), parent);
        key->setObjectName(name);
        key->setGeometry(pixels(row));
        key->setAutoDefault(false);
        key->setAccessibleName(qstr(row.accessibleName));
        if (!row.picture.empty()) {
            key->setProperty("picture", qstr(row.picture));
            key->setIcon(arrowIcon(qstr(row.picture), key->palette()));
            key->setIconSize(QSize(kArrowPixels, kArrowPixels));
        }
        if (row.pointSize != 0) key->setFont(sansFont(row.pointSize));
        connect(key, &QPushButton::clicked, this, kClickHandlers[clickRowOf(row.name)].handler);
        if (!row.shortcut.keys.empty()) addShortcut(key, row.shortcut);
        if (previous) setTabOrder(previous, key);
        previous = key;
        buttons_.insert(name, key);
    }
    button(QStringLiteral("mArrow_up"))->setFocus();
    setFixedSize(sizeHint());
}

// The computer key presses the remote key wherever the focus is in the window (so Enter is the
// remote's Enter, not a press of the focused key: Space presses that); only keys that repeat on
// the remote repeat when held.
void frmTolvane::addShortcut(QPushButton* key, const KeyShortcut& shortcut) {
    QStringList names;
    for (const QKeySequence& keys : QKeySequence::listFromString(qstr(shortcut.keys))) {
        auto* press = new QShortcut(keys, this);
        press->setContext(Qt::WindowShortcut);
        press->setAutoRepeat(shortcut.repeats);
        connect(press, &QShortcut::activated, key, &QPushButton::click);
        names << keys.toString(QKeySequence::NativeText);
    }
    key->setToolTip(QStringLiteral("Shortcut: %1").arg(names.join(QStringLiteral(" or "))));
}

// A change of theme redraws the arrows in the new palette's colours.
void frmTolvane::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        for (QPushButton* key : std::as_const(buttons_))
            if (const QString picture = key->property("picture").toString(); !picture.isEmpty())
                key->setIcon(arrowIcon(picture, key->palette()));
    QMainWindow::changeEvent(event);
}

void frmTolvane::Form_Load() {
    ports_.startUp();
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

void frmTolvane::MnuCom1_Click() {
    selectPortFromMenu(1);
}
void frmTolvane::MnuCom2_Click() {
    selectPortFromMenu(2);
}
void frmTolvane::MnuCom3_Click() {
    selectPortFromMenu(3);
}
void frmTolvane::Mnucom4_Click() {
    selectPortFromMenu(4);
}

// A message from a menu item's action is shown once the action has returned, so that whoever
// triggered it (a screen reader's press among them) is not held until the box is closed.
void frmTolvane::selectPortFromMenu(int item) {
    inMenuAction_ = true;
    ports_.selectPort(item);
    inMenuAction_ = false;
}

void frmTolvane::CHECK_CONNECTION_Click() {
    if (ports_.ownCheckStarting) ports_.ownCheckStarting();
    check_.click();
}
void frmTolvane::Timer1_Timer() {
    check_.tick();
}
void frmTolvane::wait(const std::int16_t& count) {
    check_.wait(count);
}

void frmTolvane::setPortChecked(int item, bool checked) {
    QAction* items[] = {mnucom1, Mnucom2, mnucom3, mnucom4};
    items[item - 1]->setChecked(checked);
}

void frmTolvane::showMessage(std::string_view text, std::string_view details) {
    if (inMenuAction_) {
        QTimer::singleShot(0, this, [this, message = qstr(text), more = qstr(details)] {
            if (!closing_) showMessageBox(message, more);
        });
        return;
    }
    showMessageBox(qstr(text), qstr(details));
}

void frmTolvane::showMessageBox(const QString& text, const QString& details) {
    qCDebug(lcUi).noquote() << "message box:" << text;
    if (!details.isEmpty())
        qCDebug(lcUi).noquote() << "message box details:" << QString(details).replace('\n', " | ");
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tolvane"), text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    // What failed, where and why, for a panel started from the desktop, whose standard error
    // nobody reads.
    box.setInformativeText(details);
    box.button(QMessageBox::Ok)->setIcon(QIcon());  // a plain "OK", as on the result dialogs
    box.exec();
}

void frmTolvane::setTimerEnabled(bool enabled) {
    timers_.setReplyEnabled(enabled);
}

void frmTolvane::processEvents(bool mayWait) {
    timers_.processEvents(mayWait);
}

void frmTolvane::showResponding() {
    qCDebug(lcUi) << "result dialog: responding";
    if (!CONNECTION_) CONNECTION_ = std::make_unique<CONNECTION>();
    CONNECTION_->execOver(this);
}

void frmTolvane::showNotResponding() {
    qCDebug(lcUi) << "result dialog: not responding";
    if (!frmconnect_) frmconnect_ = std::make_unique<frmconnect>();
    frmconnect_->execOver(this);
}

void frmTolvane::closeEvent(QCloseEvent* event) {
    // A check waiting inside this window's events sees this and ends without a result.
    closing_ = true;
    Timer1.stop();
    ports_.stopRetrying();
    QMainWindow::closeEvent(event);
}
