// A bare Qt Widgets window: 37 push buttons and one menu. The benchmarks compare the panel's
// start-up and memory with this.
#include <QApplication>
#include <QGridLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QWidget>

namespace {

constexpr int kButtons = 37;
constexpr int kColumns = 6;
constexpr int kMenuItems = 4;

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Baseline"));

    QMenu* menu = window.menuBar()->addMenu(QStringLiteral("Menu"));
    for (int i = 1; i <= kMenuItems; ++i) menu->addAction(QStringLiteral("Item %1").arg(i));

    auto* client = new QWidget(&window);
    auto* grid = new QGridLayout(client);
    for (int i = 0; i < kButtons; ++i)
        grid->addWidget(new QPushButton(QString::number(i + 1), client), i / kColumns,
                        i % kColumns);
    window.setCentralWidget(client);
    window.show();
    return QApplication::exec();
}
