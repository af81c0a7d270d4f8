#include "ui/main.h"

void TForm1::BSetButtonClick(QObject*)
{
    // The battery test arrives with the test workflows.
}

void TForm1::StartButtonBClick(QObject*)
{
    // The battery test arrives with the test workflows.
}

void TForm1::BatteryReadingArrived(const BatteryReading&)
{
    // The battery test arrives with the test workflows.
}

