// A bare Qt Core program: opens a serial device with QSerialPort at 9600 8N1, writes the bytes
// it is given as hex, waits until they are written and ends. The benchmarks compare
// tolvane-send with this. Built as send_baseline_linked, it is also linked to Qt Network and
// Qt D-Bus, which it never uses, as tolvane-send is: the difference is what loading them costs.
//
// usage: send_baseline DEVICE HEX
#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>
#ifdef SEND_BASELINE_LINKED
#include <QDBusConnection>
#include <QTcpSocket>
#endif

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
#ifdef SEND_BASELINE_LINKED
    if (argc > 3) {  // refused below: the libraries are loaded, never used
        QTcpSocket socket;
        QDBusConnection::sessionBus();
    }
#endif
    if (argc != 3) {
        std::fputs("usage: send_baseline DEVICE HEX\n", stderr);
        return 2;
    }
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(argv[1]));
    port.setBaudRate(QSerialPort::Baud9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "send_baseline: %s\n", qPrintable(port.errorString()));
        return 1;
    }
    const QByteArray bytes = QByteArray::fromHex(argv[2]);
    if (port.write(bytes) != bytes.size()) return 1;
    while (port.bytesToWrite() > 0)
        if (!port.waitForBytesWritten(1000)) return 1;
    port.close();
    return 0;
}
