#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

#include "bus/bus_names.h"
#include "serial/quiet_check.h"

namespace tolvane {
class PortManager;
}

namespace tolvane::bus {

// The running panel on the user's session bus: its keys pressed by name, exactly as clicks
// press them; what port it holds; and the connection check without dialogs. Only callers of
// the panel's own user are served. Interface description: data/io.github.tolvane.Tolvane.xml.
class PanelService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", TOLVANE_BUS_NAME)
    Q_PROPERTY(QString CommItem READ commItem)
    Q_PROPERTY(QString Device READ device)
    Q_PROPERTY(bool PortOpen READ portOpen)

  public:
    // Serves the panel whose port `owner` drives; `raise` brings its window to the front.
    PanelService(PortManager& owner, std::function<void()> raise);
    ~PanelService() override;

    // Offers the panel on the session bus when there is one; without one, does nothing.
    void publish();

    // "Comm1" to "Comm4": the item checked in the Comm Port menu.
    QString commItem() const;
    // The device (or address) that item opened, or tried to.
    QString device() const;
    bool portOpen() const;

  public slots:
    // Presses the keys in order. Every name is checked first: an unknown one presses none.
    // Replies once every key's bytes are with the system; a key that does not go ends the
    // call with the panel's message and how many keys went, and no later key goes either.
    void Press(const QStringList& keys);
    // The same, meant for `device` (as the Device property names it): when the panel uses
    // another device now, nothing is pressed.
    void PressOn(const QString& device, const QStringList& keys);
    // Probes and replies after the reply byte or the second: true when the projector answered.
    // Refused while Check Connection's own check waits, or another of these does.
    bool Check();
    // Brings the panel's window to the front: a second start for the same port asks for this
    // instead of opening a window of its own.
    void Raise();

  private:
    bool callerIsOurUser();
    void press(const QStringList& keys, const std::optional<QString>& device);

    PortManager& owner_;
    std::function<void()> raise_;
    QuietCheck check_;
    QDBusConnection bus_;
    QString name_;
};

}  // namespace tolvane::bus
