#pragma once

#include <QDialog>
#include <QPushButton>
#include <QRect>
#include <vector>

class QLabel;

namespace tolvane {

// Common frame of the two result dialogs: a client area at a fixed place on the screen, of the
// drawn size or taller where a face or scale needs more room for the texts, empty title, one
// "OK" button `Command1` that closes it. No default button: Enter presses the focused button,
// Escape closes the dialog as its close control does. Closing hides it, so that the panel can
// show the same dialog again.
class ResultDialog : public QDialog {
    Q_OBJECT

  public:
    QPushButton* Command1 = nullptr;

    void Command1_Click() { close(); }

    // Shows it modal above `panel` (its transient parent where the window system places
    // windows itself, as on Wayland), placed by placeOverPanel() on the panel's screen, and
    // waits until it is closed.
    int execOver(QWidget* panel);

    // Gives every label the height its text needs in the label's font (and the width, for a
    // word longer than a line), never less than drawn, moves what lies below a grown label down
    // as far and grows the client area to match.
    // Starts from the drawn layout each time, so it may be called again after a font change.
    void fitToTexts();

  protected:
    // clientTwips: the client area's place on the screen and its size, in twips.
    explicit ResultDialog(const QRect& clientTwips);
    QLabel* addLabel(const char* name, const QString& text, const QRect& twips, qreal pointSize);
    void addButton(const QRect& twips);
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    QRect clientPixels_;                                // as drawn
    std::vector<std::pair<QWidget*, QRect>> controls_;  // each with its place as drawn
};

// Where a result dialog opens. `drawn` is its drawn place relative to the top-left of the
// screen; `panel` the panel's frame (empty: no panel to go by); `screen` the geometry of the
// panel's screen, `available` the part of it free of desktop bars. At the drawn place on the
// panel's screen as long as it touches the panel there; over the middle of the panel when the
// panel has been moved away from it. Either way moved in as far as needed to lie wholly in
// `available`.
QRect placeOverPanel(const QRect& drawn, const QRect& panel, const QRect& screen,
                     const QRect& available);
// `window` moved as little as needed to lie wholly inside `screen` (its top-left kept in when it
// is larger).
QRect keptOnScreen(const QRect& window, const QRect& screen);

}  // namespace tolvane

// Not responding: what to check.
class frmconnect : public tolvane::ResultDialog {
    Q_OBJECT

  public:
    frmconnect();
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
};

// Responding.
class CONNECTION : public tolvane::ResultDialog {
    Q_OBJECT

  public:
    CONNECTION();
    QLabel* Label1 = nullptr;
};
