// The live readings cut from one reply in each layout. A reply that is no reading is
// refused with EBadReading (or EConvertError for the list verdict); whatever is accepted
// must be something the window can show.
#include "fuzz/FuzzTargets.h"
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"

#include <cmath>

namespace {

template <class Cut> void Refusable(Cut&& cut)
{
    try {
        cut();
    } catch (const EBadReading& e) {
        Promise(*e.what() != 0, "refusal without a message");
    } catch (const EConvertError&) { }
}

} // namespace

void FuzzMeasurementCuts(const uint8_t* data, size_t size)
{
    const QString reply
        = QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // Shown in messages: no control character may reach the box, and never more than 80
    // of the reply's characters, each written in at most four.
    const QString quoted = QuotedReply(reply);
    Promise(quoted.size() <= 80 * 4 + 3, "quoted reply too long");
    for (const QChar c : quoted)
        Promise(c.unicode() >= 0x20 && c.unicode() != 0x7f, "control character in a quoted reply");

    Refusable([&] {
        const MainReading r = CutMainReading(reply);
        Promise(r.voltage.size() <= 5 && r.current.size() <= 5, "Main-page field longer than five");
        Promise(reply.contains(u','), "Main reading without its current");
        Promise(std::isfinite(r.voltageValue) && std::isfinite(r.currentValue), "Main reading not finite");
        const QString power = PowerText(r);
        Promise(!power.isEmpty() && power.size() <= 5, "power text " + power.toStdString());
    });
    Refusable([&] {
        const BatteryReading r = CutBatteryReading(reply);
        Promise(r.seconds >= 0, "negative discharge time");
        for (const QString& text : { r.voltage, r.current, r.time, r.capacity })
            Promise(IsPlainDecimal(text), "battery text not the number alone: " + text.toStdString());
        Promise(
            std::isfinite(r.voltageValue) && std::isfinite(r.currentValue) && std::isfinite(r.capacityValue),
            "battery reading not finite");
    });
    Refusable([&] {
        const StepReading r = CutStepReading(reply);
        Promise(r.stepIndex >= 0, "negative list step " + r.step.toStdString());
    });
    Refusable([&] { ListVerdict(reply); });
    for (int step = 0; step < 15; ++step)
        Promise(StepVerdict(reply, step).size() <= 1, "step verdict longer than one character");
}
