#include "ui/main.h"

void TForm1::CoTimerTimer(QObject*)
{
    // The pipeline handlers arrive next.
}

void TForm1::fetchTimerTimer(QObject*)
{
    // The pipeline handlers arrive next.
}

void TForm1::Comm1ReceiveData(TComm*, const char*, uint16_t)
{
    // The pipeline handlers arrive next.
}

void TForm1::dealReturn(const QString&)
{
    // The pipeline handlers arrive next.
}

void TForm1::MeasurementReply(const QString&)
{
    // The pipeline handlers arrive next.
}

