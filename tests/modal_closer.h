#pragma once

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <functional>

namespace tolvane::testing {

// Closes every modal window that opens while it lives, the way a user would: by its button.
// Records what each one said, so a test can check the texts and count the dialogs.
class ModalCloser {
  public:
    struct Seen {
        QString className;  // "QMessageBox", "frmconnect", "CONNECTION"
        QString title;
        QString text;     // the message, or the dialog's labels joined by '|'
        QString details;  // a message box's further text
        bool mainWindowVisible;
    };

    explicit ModalCloser(std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
        timer_.setInterval(poll);
        QObject::connect(&timer_, &QTimer::timeout, [this] { closeActive(); });
        timer_.start();
    }

    // Runs just before a modal window is closed; lets a test act while it is open.
    std::function<void(QWidget*)> onOpen;
    QList<Seen> seen;
    QWidget* mainWindow = nullptr;

  private:
    void closeActive() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        Seen s{QString::fromLatin1(modal->metaObject()->className()),
               modal->windowTitle(),
               {},
               {},
               mainWindow && mainWindow->isVisible()};
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            s.text = box->text();
            s.details = box->informativeText();
        } else {
            QStringList texts;
            for (QLabel* label : modal->findChildren<QLabel*>()) texts << label->text();
            s.text = texts.join('|');
        }
        seen << s;
        if (onOpen) onOpen(modal);
        if (auto* box = qobject_cast<QMessageBox*>(modal))
            box->button(QMessageBox::Ok)->click();
        else if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("Command1")))
            ok->click();
        else
            modal->close();
    }

    QTimer timer_;
};

}  // namespace tolvane::testing
