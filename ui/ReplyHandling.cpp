// The window's side of the instrument link: the pacing tick, polling, received chunks,
// and what each reply does to the window.
#include "comm/SerialComm.h"
#include "replies/MeasurementCuts.h"
#include "replies/Numbers.h"
#include "replies/ReadBack.h"
#include "ui/main.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cstring>

namespace {

// An edit takes the text; a combo box shows the matching item, or the text as typed.
void SetControlText(QObject* control, const QString& text)
{
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->setText(text);
    } else if (auto* box = qobject_cast<QComboBox*>(control)) {
        const int item = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (item >= 0)
            box->setCurrentIndex(item);
        else if (box->isEditable())
            box->setEditText(text);
    }
}

} // namespace

void TForm1::CoTimerTimer(QObject*)
{
    if (const auto line = FPipeline.Tick())
        Comm1->WriteCommData(line->constData(), static_cast<uint16_t>(line->size()));
}

void TForm1::fetchTimerTimer(QObject*)
{
    QueueCommand(QStringLiteral("fetch?"), 4);
}

void TForm1::Comm1ReceiveData(TComm*, const char* Buffer, uint16_t BufferLength)
{
    // The area keeps a copy for inspection; the reply text is built from the whole chunk.
    std::memcpy(ReceiveArea.data(), Buffer, std::min<size_t>(BufferLength, ReceiveArea.size()));
    dealReturn(ReplyTextFromChunk(Buffer, BufferLength));
}

void TForm1::dealReturn(const QString& reply)
{
    const std::optional<int> code = FPipeline.TakeReplyCode();
    if (!code)
        throw EConvertError("A reply arrived while no answer was awaited: '" + reply.toStdString() + "'");
    if (IsDroppedReply(reply))
        return;
    if (*code == 4) {
        MeasurementReply(reply);
        return;
    }
    const ReadBackResult result = ReadBack(*code, reply);
    for (const auto& [name, text] : result.texts)
        SetControlText(findChild<QObject*>(name), text);
    if (!result.select.isEmpty()) {
        if (auto* button = findChild<QRadioButton*>(result.select))
            button->setChecked(true); // setChecked raises no click: the operator's action does not run
    }
    switch (result.maximum) {
    case StoredMaximum::Current: StoredCurrentMax = StrToFloat(result.maximumText); break;
    case StoredMaximum::Voltage: StoredVoltageMax = StrToFloat(result.maximumText); break;
    case StoredMaximum::Power: StoredPowerMax = StrToFloat(result.maximumText); break;
    case StoredMaximum::None: break;
    }
}

void TForm1::MeasurementReply(const QString& reply)
{
    switch (TestMode) {
    case 0: {
        if (startButton->text() != u"Stop")
            return;
        const MainReading r = CutMainReading(reply);
        VLable->setText(r.voltage + u'V');
        ILable->setText(r.current + u'A');
        PLabel->setText(PowerText(r.voltage, r.current) + u'W');
        return;
    }
    case 1: {
        if (startButtonB->text() == u"Begin")
            return;
        const BatteryReading r = CutBatteryReading(reply);
        LabelBV->setText(r.voltage + u'V');
        LabelBI->setText(r.current + u'A');
        LabelBC->setText(r.time + u's');
        LabelBT->setText(r.capacity + QStringLiteral("Ah"));
        BatteryReadingArrived(r);
        return;
    }
    case 2: {
        if (startButtonL->text() != u"Stop")
            return;
        const QStringView kind = QStringView(reply).left(2);
        if (kind == u"L2") {
            const StepReading r = CutStepReading(reply);
            ListS->setText(u'S' + r.step);
            ListV->setText(r.voltage + u'V');
            ListI->setText(r.current + u'A');
            StepReadingArrived(r);
        } else if (kind == u"L3") {
            ListVerdictArrived(reply);
        }
        return;
    }
    default:
        return;
    }
}
