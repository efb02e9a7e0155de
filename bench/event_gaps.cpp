// How long the event loop goes without a turn while the port does slow things: a switch away
// from a line that stopped reading, a device server that never confirms the line, a TCP open to
// a host that never completes the connection, and retrying a lost port. A 5 ms timer ticks
// throughout; the longest gap between two ticks is printed per case, in milliseconds.
// Built with the tests; run build/bench/event_gaps (no display needed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "serial/port_manager.h"
#include "serial/reconnector.h"
#include "transport/serial_layer.h"

using namespace tolvane;

namespace {

// Runs `what`, then the event loop for `span`, and returns the longest gap between ticks.
double longestGap(const std::function<void()>& what, int span) {
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.nsecsElapsed() - last);
        last = clock.nsecsElapsed();
    });
    tick.start(5);
    clock.start();
    QTimer::singleShot(0, what);
    QTimer::singleShot(span, QCoreApplication::quit);
    QCoreApplication::exec();
    return double(longest) / 1e6;
}

QByteArray newPty(int& controller) {
    int terminal = -1;
    char name[256] = {};
    if (::openpty(&controller, &terminal, name, nullptr, nullptr) != 0) std::abort();
    return name;
}

void report(const char* what, double ms) {
    std::printf("%-55s %7.1f ms\n", what, ms);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int a = -1, b = -1;
    const QByteArray first = newPty(a), second = newPty(b);
    qputenv("TOLVANE_COM1", first);
    qputenv("TOLVANE_COM2", second);
    qputenv("TOLVANE_COM3", "nowhere");
    qputenv("TOLVANE_COM4", "nowhere");
    {
        SerialLayer port;
        port.Settings("9600,N,8,1");
        port.PortOpen(true);
        for (int i = 0; i < 1200; ++i) sendKey(port, kKeys[0]);  // the far end never reads
        report("switch away from a line that stopped reading", longestGap(
                                                                   [&] {
                                                                       port.PortOpen(false);
                                                                       port.CommPort(2);
                                                                       port.PortOpen(true);
                                                                   },
                                                                   1500));
    }
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost);
    {
        SerialLayer port;
        port.setAddress(
            parsePortName("rfc2217://127.0.0.1:" + std::to_string(silent.serverPort())));
        report("RFC 2217 open that is never confirmed (3 s bound)",
               longestGap([&] { port.PortOpen(true); }, 3500));
    }
    // A listener whose queue is full: the system drops the next connection's SYN, so it never
    // completes.
    const int full = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in here{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof here;
    ::bind(full, reinterpret_cast<sockaddr*>(&here), size);
    ::listen(full, 0);
    ::getsockname(full, reinterpret_cast<sockaddr*>(&here), &size);
    for (int i = 0; i < 3; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&here), size);
    }
    {
        SerialLayer port;
        port.setAddress(parsePortName("tcp://127.0.0.1:" + std::to_string(ntohs(here.sin_port))));
        report("TCP open to a host that never completes it (3 s bound)",
               longestGap([&] { port.PortOpen(true); }, 3500));
    }
    {
        SerialLayer port;
        Reconnector retry(port);
        port.setLostHandler([&](TransportKind kind) { retry.start(kind); });
        port.PortOpen(true);
        report("retrying a lost device for 3 s", longestGap([&] { ::close(a); }, 3000));
    }
    return 0;
}
