// ui/: the windows: the keypad and the result dialogs.
#pragma once

#include <QAction>
#include <QGroupBox>
#include <QMainWindow>
#include <QPushButton>
#include <QTimer>
#include <memory>
#include <string_view>

#include "serial/port_manager.h"
#include "serial/quiet_check.h"
#include "transport/serial_layer.h"

class CONNECTION;
class frmconnect;

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

// Checks waiting inside one another at most; each holds a stack frame of event processing, so
// a storm of clicks must not nest without end. Clicks beyond this are ignored.
inline constexpr int kMaxNestedChecks = 16;

// The keypad window: the remote on screen. Each key sends its two frames; the menu chooses the
// port; "Check Connection" asks the projector for any reply.
class frmTolvane : public QMainWindow, private tolvane::PortUi {
    Q_OBJECT

  public:
    // The window drives whichever serial layer it is given (main chooses it); not null.
    explicit frmTolvane(std::unique_ptr<tolvane::SerialLayer> port);
    ~frmTolvane() override;

    QPushButton* button(const QString& name) const { return findChild<QPushButton*>(name); }
    QGroupBox* frame(const QString& name) const { return findChild<QGroupBox*>(name); }
    tolvane::SerialLayer& MSComm1() { return *MSComm1_; }
    // The port's owner, for others who press keys and check through it (the session bus).
    tolvane::PortManager& ports() { return ports_; }
    QTimer Timer1;
    QAction* mnucom1 = nullptr;
    QAction* Mnucom2 = nullptr;
    QAction* mnucom3 = nullptr;
    QAction* mnucom4 = nullptr;

    void Form_Load() { ports_.startUp(); }
    void MnuCom1_Click() { selectPortFromMenu(1); }
    void MnuCom2_Click() { selectPortFromMenu(2); }
    void MnuCom3_Click() { selectPortFromMenu(3); }
    void Mnucom4_Click() { selectPortFromMenu(4); }
#define TOLVANE_DECLARE_CLICK(key) void key##_Click();
    TOLVANE_REMOTE_KEYS(TOLVANE_DECLARE_CLICK)
#undef TOLVANE_DECLARE_CLICK
    // Probes, starts Timer1 unless a check it is nested in runs it, waits, then says the
    // projector is responding; Timer1's tick says it is not.
    void CHECK_CONNECTION_Click();
    void Timer1_Timer();
    // Waits until Timer1 is stopped, or until at least `count` bytes are waiting (which are
    // then discarded). Throws SerialError when the port cannot be read.
    void wait(const std::int16_t& count);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void buildKeypad();
    void selectPortFromMenu(int item);
    void buildMenu();

    // PortUi
    void setPortChecked(int item, bool checked) override;
    void showMessage(std::string_view text, std::string_view details) override;

    std::unique_ptr<tolvane::SerialLayer> MSComm1_;
    tolvane::PortManager ports_;
    QTimer waitBound_;  // ends each sleep of the wait after kWaitBound; runs only then
    int checksWaiting_ = 0;
    bool ignoringChecks_ = false;  // a click beyond kMaxNestedChecks was logged
    bool closing_ = false;         // a waiting check ends without a result
    bool inMenuAction_ = false;
    bool shown_ = false;
    // Each made on its first showing and shown again after that.
    std::unique_ptr<CONNECTION> CONNECTION_;
    std::unique_ptr<frmconnect> frmconnect_;
};
