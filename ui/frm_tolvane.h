// ui/: the windows: the keypad and the result dialogs.
#pragma once

#include <QAction>
#include <QHash>
#include <QMainWindow>
#include <QPushButton>
#include <QTimer>
#include <memory>
#include <optional>
#include <string_view>

#include "serial/check_timers.h"
#include "serial/connection_check.h"
#include "serial/port_manager.h"
#include "serial/port_ui.h"
#include "transport/serial_layer.h"

class QGroupBox;
class CONNECTION;
class frmconnect;

namespace tolvane {
struct KeyShortcut;
}

// The remote keys by control name, one a line; each has a click handler named after it, and
// each must have a row in the key table and a key in the keypad layout, or the build fails.
// clang-format off
#define TOLVANE_REMOTE_KEYS(X) \
    X(m0) \
    X(m1) \
    X(m2) \
    X(m3) \
    X(m4) \
    X(m5) \
    X(m6) \
    X(m7) \
    X(m8) \
    X(m9) \
    X(mArrow_down) \
    X(mArrow_left) \
    X(mArrow_right) \
    X(mArrow_up) \
    X(mAsterick) \
    X(mBrite) \
    X(mColour) \
    X(mContrast) \
    X(mConv) \
    X(mDetail) \
    X(mEnter) \
    X(mExit) \
    X(mGeom) \
    X(mHelp) \
    X(mMute) \
    X(mPic) \
    X(mPound) \
    X(mPower_off) \
    X(mPower_on) \
    X(mRecall) \
    X(mSource) \
    X(mStandby_off) \
    X(mStandby_on) \
    X(mTint) \
    X(mUtil) \
    X(mVolume)
// clang-format on

// The keypad window: the remote on screen. Each key sends its two frames; the menu chooses the
// port; "Check Connection" asks the projector for any reply.
class frmTolvane : public QMainWindow, private tolvane::PortUi, private tolvane::CheckHost {
    Q_OBJECT

  public:
    // The window drives whichever serial layer it is given (main chooses it); not null.
    explicit frmTolvane(std::unique_ptr<tolvane::SerialLayer> port);
    ~frmTolvane() override;

    QPushButton* button(const QString& name) const { return buttons_.value(name); }
    QGroupBox* frame(const QString& name) const { return frames_.value(name); }
    tolvane::SerialLayer& MSComm1() { return *MSComm1_; }
    QTimer Timer1;
    QAction* mnucom1 = nullptr;
    QAction* Mnucom2 = nullptr;
    QAction* mnucom3 = nullptr;
    QAction* mnucom4 = nullptr;

    void Form_Load();
#define TOLVANE_DECLARE_CLICK(key) void key##_Click();
    TOLVANE_REMOTE_KEYS(TOLVANE_DECLARE_CLICK)
#undef TOLVANE_DECLARE_CLICK
    void CHECK_CONNECTION_Click();
    void Timer1_Timer();
    void MnuCom1_Click();
    void MnuCom2_Click();
    void MnuCom3_Click();
    void Mnucom4_Click();
    void wait(const std::int16_t& count);

    // The port's owner, for others who press keys and check through it (the session bus).
    tolvane::PortManager& ports() {
        return ports_;
    }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildKeypad();
    void addShortcut(QPushButton* key, const tolvane::KeyShortcut& shortcut);
    void selectPortFromMenu(int item);
    void describePorts();
    void showMessageBox(const QString& text, const QString& details = {});
    void buildMenu();

    // PortUi
    void setPortChecked(int item, bool checked) override;
    void showMessage(std::string_view text, std::string_view details) override;
    // CheckHost
    void showMessage(std::string_view text) override {
        showMessage(text, {});
    }
    // CheckHost
    bool timerEnabled() const override {
        return Timer1.isActive();
    }
    void setTimerEnabled(bool enabled) override;
    void processEvents(bool mayWait) override;
    bool closing() const override {
        return closing_;
    }
    void showResponding() override;
    void showNotResponding() override;

    std::unique_ptr<tolvane::SerialLayer> MSComm1_;
    tolvane::PortManager ports_;
    tolvane::ConnectionCheck check_;
    QHash<QString, QPushButton*> buttons_;
    QHash<QString, QGroupBox*> frames_;
    tolvane::CheckTimers timers_{Timer1};
    bool closing_ = false;
    bool inMenuAction_ = false;
    // Each made on its first showing and shown again after that.
    std::unique_ptr<CONNECTION> CONNECTION_;
    std::unique_ptr<frmconnect> frmconnect_;
};
