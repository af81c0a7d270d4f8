#include "ui/main.h"
#include "comm/SerialComm.h"
#include "sim/SimulatorHost.h"
#include <QCloseEvent>
#include <QTimer>
// Placeholder so the tree links; the real layout replaces this file.
TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {}
TForm1::~TForm1() = default;
void TForm1::SetMessageBoxes(std::unique_ptr<IMessageBoxes> boxes) { FMessageBoxes = std::move(boxes); }
void TForm1::EnableSimulatorPort(bool enable) { FSimulatorPort = enable; }
void TForm1::RunGuarded(const std::function<void()>& handler) { handler(); }
void TForm1::ShowGeneralError(const QString&) {}
void TForm1::Label73Click(QObject*) {}
void TForm1::closeEvent(QCloseEvent* e) { QMainWindow::closeEvent(e); }
bool TForm1::event(QEvent* e) { return QMainWindow::event(e); }
void TForm1::BuildLayout() {}
void TForm1::WireHandlers() {}
