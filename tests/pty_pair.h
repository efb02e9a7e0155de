#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

namespace tolvane::testing {

// A pseudo-terminal pair made for one test: the panel opens the terminal end by its path,
// the test plays the projector on the controller end. The test keeps the terminal end open
// itself as well, so the controller does not read EIO between the panel's opens.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString path() const { return path_; }
    // Bytes the panel wrote, reading until `count` arrived or the time is up.
    QByteArray readFromPanel(qsizetype count,
                             std::chrono::milliseconds timeout = std::chrono::seconds(2));
    void writeToPanel(const QByteArray& bytes);
    // Pulls the cable: closes the controller end (and our own terminal end).
    void hangUp();

  private:
    int controller_ = -1;
    int terminal_ = -1;
    QString path_;
};

// CPU time this process has used so far.
std::chrono::microseconds processCpuTime();

}  // namespace tolvane::testing
