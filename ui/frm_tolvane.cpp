#include "ui/frm_tolvane.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QMenuBar>
#include <QMessageBox>
#include <array>
#include <stdexcept>

#include "ui/fonts.h"
#include "ui/keypad_layout.h"
#include "ui/logging.h"
#include "ui/result_dialog.h"

using namespace tolvane;

Q_LOGGING_CATEGORY(lcUi, "tolvane.ui", QtInfoMsg)

// The pictures live in this static library; register them before the first window needs them.
static void loadArtwork() {
    Q_INIT_RESOURCE(artwork);
}

namespace {

constexpr int kArrowPixels = 32;

QRect pixels(const ControlLayout& row) {
    return {toPixels(row.left), toPixels(row.top), toPixels(row.width), toPixels(row.height)};
}

QString qstr(std::string_view s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

// Title bars and task switchers show a window's icon at these sizes; launchers take the larger
// pictures from the installed icon theme. Every size is decoded and sent to the window system
// before the window appears, so the 128 and 256 pixel ones would only delay it.
constexpr std::array kWindowIconPixels{16, 32, 48, 64};

QIcon appIcon() {
    QIcon icon;
    for (int size : kWindowIconPixels)
        icon.addFile(QStringLiteral(":/artwork/tolvane_%1.png").arg(size), QSize(size, size));
    return icon;
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
    loadArtwork();
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
            QIcon picture;
            for (int size : {kArrowPixels, 16})
                picture.addFile(
                    QStringLiteral(":/artwork/%1_%2.png").arg(qstr(row.picture)).arg(size),
                    QSize(size, size));
            key->setIcon(picture);
            key->setIconSize(QSize(kArrowPixels, kArrowPixels));
        }
        if (row.pointSize != 0) key->setFont(sansFont(row.pointSize));
        connect(key, &QPushButton::clicked, this, kClickHandlers[clickRowOf(row.name)].handler);
        if (previous) setTabOrder(previous, key);
        previous = key;
        buttons_.insert(name, key);
    }
    button(QStringLiteral("mArrow_up"))->setFocus();
    setFixedSize(sizeHint());
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
    ports_.selectPort(1);
}
void frmTolvane::MnuCom2_Click() {
    ports_.selectPort(2);
}
void frmTolvane::MnuCom3_Click() {
    ports_.selectPort(3);
}
void frmTolvane::Mnucom4_Click() {
    ports_.selectPort(4);
}

void frmTolvane::CHECK_CONNECTION_Click() {
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

void frmTolvane::showMessage(std::string_view text) {
    qCDebug(lcUi).noquote() << "message box:" << qstr(text);
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tolvane"), qstr(text), QMessageBox::Ok,
                    isVisible() ? this : nullptr);
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
    CONNECTION dialog;
    dialog.exec();
}

void frmTolvane::showNotResponding() {
    qCDebug(lcUi) << "result dialog: not responding";
    frmconnect dialog;
    dialog.exec();
}

void frmTolvane::closeEvent(QCloseEvent* event) {
    // A check waiting inside this window's events sees this and ends without a result.
    closing_ = true;
    Timer1.stop();
    QMainWindow::closeEvent(event);
}
