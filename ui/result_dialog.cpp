#include "ui/result_dialog.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "serial/messages.h"
#include "ui/artwork.h"
#include "ui/keypad_layout.h"

namespace tolvane {
ResultDialog::ResultDialog(const QRect& clientTwips) : QDialog(nullptr) {
    setWindowIcon(appIcon());
    setModal(true);
    clientPixels_ = toPixels(clientTwips);
    setFixedSize(clientPixels_.size());
    setGeometry(clientPixels_);
}

void ResultDialog::fitToTexts() {
    QSize client = clientPixels_.size();
    for (const auto& [control, drawn] : controls_) control->setGeometry(drawn);
    auto byTop = controls_;
    std::stable_sort(byTop.begin(), byTop.end(),
                     [](const auto& a, const auto& b) { return a.second.top() < b.second.top(); });
    for (const auto& [control, drawn] : byTop) {
        const auto* label = qobject_cast<const QLabel*>(control);
        if (!label) continue;
        const QFontMetrics metrics(label->font());
        const int flags = int(label->alignment()) | Qt::TextWordWrap;
        auto needed = [&](int width) {
            return metrics.boundingRect(QRect(0, 0, width, QWIDGETSIZE_MAX), flags, label->text())
                .size();
        };
        // Wider only for a word longer than the drawn line; the dialog grows to the right by as
        // much.
        const int width = std::max(drawn.width(), needed(drawn.width()).width());
        const int grow = std::max(0, needed(width).height() - drawn.height());
        control->resize(width, drawn.height() + grow);
        client.setWidth(std::max(client.width(), clientPixels_.width() + width - drawn.width()));
        if (grow == 0) continue;
        for (const auto& [other, otherDrawn] : controls_)
            if (otherDrawn.top() > drawn.top()) other->move(other->x(), other->y() + grow);
        client.setHeight(client.height() + grow);
    }
    setFixedSize(client);
}

QLabel* ResultDialog::addLabel(const char* name, const QString& text, const QRect& twips,
                               qreal pointSize) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(toPixels(twips));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setWordWrap(true);
    label->setFont(sansFont(pointSize));
    controls_.emplace_back(label, label->geometry());
    return label;
}

void ResultDialog::addButton(const QRect& twips) {
    Command1 = new QPushButton(QStringLiteral("OK"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(toPixels(twips));
    Command1->setAutoDefault(false);
    controls_.emplace_back(Command1, Command1->geometry());
    connect(Command1, &QPushButton::clicked, this, &ResultDialog::Command1_Click);
}

void ResultDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && !event->isAutoRepeat() &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (auto* focused = qobject_cast<QPushButton*>(focusWidget())) {
            focused->click();
            return;
        }
    }
    QDialog::keyPressEvent(event);  // Escape: reject(), as the close control
}

int ResultDialog::execOver(QWidget* panel) {
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) && panel &&
        panel->windowHandle()) {
        winId();  // makes the window handle
        windowHandle()->setTransientParent(panel->windowHandle());
    }
    // Each showing starts from the drawn place, wherever the last one was moved to.
    fitToTexts();
    const QRect drawn(clientPixels_.topLeft(), size());
    setGeometry(drawn);
    // The drawn place is in logical pixels on the panel's screen; the panel may have been moved
    // elsewhere on it, or to another screen, and on a small or scaled screen the dialog is moved
    // in just far enough for the whole of it, OK included, to be seen.
    const bool shown = panel && panel->isVisible();
    const QRect frame = shown ? panel->frameGeometry() : QRect();
    QScreen* screen = shown ? QGuiApplication::screenAt(frame.center()) : nullptr;
    if (!screen && panel) screen = panel->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen)
        setGeometry(placeOverPanel(drawn, frame, screen->geometry(), screen->availableGeometry()));
    const int result = exec();
    // Qt has already let go of the hidden dialog's native window, but its window object keeps a
    // connection made each time the dialog was activated; a fresh one each showing keeps the
    // dialog's memory the same however often it is shown.
    destroy();
    return result;
}

QRect placeOverPanel(const QRect& drawn, const QRect& panel, const QRect& screen,
                     const QRect& available) {
    QRect place = drawn.translated(screen.topLeft());
    if (!panel.isEmpty() && !place.intersects(panel)) place.moveCenter(panel.center());
    return keptOnScreen(place, available);
}

QRect keptOnScreen(const QRect& window, const QRect& screen) {
    QRect moved = window;
    moved.moveRight(std::min(moved.right(), screen.right()));
    moved.moveBottom(std::min(moved.bottom(), screen.bottom()));
    moved.moveLeft(std::max(moved.left(), screen.left()));
    moved.moveTop(std::max(moved.top(), screen.top()));
    return moved;
}

void ResultDialog::showEvent(QShowEvent* event) {
    // The window system would fill an empty title with the program's name; a blank keeps the
    // title bar empty, as it is meant to be.
    if (QWindow* handle = windowHandle()) handle->setTitle(QStringLiteral(" "));
    if (Command1) Command1->setFocus();  // also when shown again
    QDialog::showEvent(event);
}

}  // namespace tolvane

frmconnect::frmconnect() : ResultDialog(QRect(5340, 3360, 4680, 3195)) {
    setObjectName(QStringLiteral("frmconnect"));
    // The label's text ends in one blank, as the dialog has always shown it.
    Label1 = addLabel("Label1", tolvane::qstr(tolvane::kNotRespondingText) + ' ',
                      QRect(480, 360, 3615, 975), 12);
    addButton(QRect(1680, 2400, 1215, 495));
    Label2 = addLabel("Label2",
                      QStringLiteral("Please ensure that the projector is connected properly, "
                                     "consult help on opening page."),
                      QRect(480, 1320, 3735, 975), 12);
    // Black as drawn where it reads (4.5:1, as text needs); else the theme's own text colour.
    QPalette palette = Label2->palette();
    if (tolvane::contrastRatio(Qt::black, palette.color(QPalette::Window)) >= 4.5) {
        palette.setColor(QPalette::WindowText, Qt::black);
        Label2->setPalette(palette);
    }
    setAccessibleName(Label1->text().trimmed());
    setAccessibleDescription(Label2->text());
    fitToTexts();
}

CONNECTION::CONNECTION() : ResultDialog(QRect(5340, 3435, 4680, 3195)) {
    setObjectName(QStringLiteral("CONNECTION"));
    Label1 = addLabel("Label1", tolvane::qstr(tolvane::kRespondingText),
                      QRect(960, 480, 2655, 1095), 18);
    addButton(QRect(1440, 2040, 1455, 615));
    setAccessibleName(Label1->text());
    fitToTexts();
}
