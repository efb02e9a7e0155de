// A bare Qt Core program: opens a serial device with QSerialPort, writes the bytes it is given
// as hex, waits until they are written and ends. The benchmarks compare tolvane-send with this.
// usage: send_baseline DEVICE HEX
#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: send_baseline DEVICE HEX\n", stderr);
        return 2;
    }
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(argv[1]));
    port.setBaudRate(QSerialPort::Baud9600);
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
