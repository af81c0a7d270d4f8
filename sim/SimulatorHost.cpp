#include "sim/SimulatorHost.h"
#include <stdexcept>
// Placeholder so the tree links; the real host replaces this file.
struct SimulatorHost::Impl { SimOptions o; };
SimulatorHost::SimulatorHost(SimOptions options) : d(new Impl{options}) {}
SimulatorHost::~SimulatorHost() = default;
void SimulatorHost::Start() { throw std::runtime_error("simulator not built yet"); }
void SimulatorHost::Stop() {}
QString SimulatorHost::SlavePath() const { return {}; }
std::vector<SimReceivedLine> SimulatorHost::ReceivedLines() const { return {}; }
void SimulatorHost::SetReplyDelayMs(int) {}
