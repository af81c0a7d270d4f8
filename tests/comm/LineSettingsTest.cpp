// How TComm's properties reach the driver: the mapping onto POSIX terms, the line a
// pseudo-terminal actually holds (read back with termios2), and live re-application.
#include "CommTestSupport.h"

#include "comm/LineSettings.h"
#include "comm/PosixSerial.h"
#include <functional>
#include <gtest/gtest.h>

namespace {

// The values the main window's stored form gives Comm1.
void MainWindowProperties(TComm& c)
{
    c.setDtrControl(TDtrControl::DtrDisable);
    c.setTxContinueOnXoff(false);
    c.setOutx_XonXoffFlow(false);
    c.setInx_XonXoffFlow(false);
    c.setRtsControl(TRtsControl::RtsDisable);
}

// The line MainWindowProperties asks for (9600 8N1, no flow control, DTR and RTS low),
// changed as the case needs.
TLineSettings Line(std::function<void(TLineSettings&)> change)
{
    TLineSettings s;
    s.Dtr = s.Rts = TModemLine::Lower;
    change(s);
    return s;
}

// The part of s a driver keeps, as ReadLineSettings gives it back.
TLineSettings TermiosPart(TLineSettings s)
{
    const TLineSettings defaults;
    s.Dtr = defaults.Dtr;
    s.Rts = defaults.Rts;
    s.DropNulBytes = defaults.DropNulBytes;
    return s;
}

} // namespace

TEST(CommLineSettings, PropertiesMapOntoThePosixLine)
{
    using L = TModemLine;
    struct Case
    {
        const char* what;
        std::function<void(TComm&)> set;
        TLineSettings line;
    };
    const auto none = [](TLineSettings&) {};
    const Case cases[] = {
        { "main window", MainWindowProperties, Line(none) },
        { "defaults", [](TComm&) {}, Line([](TLineSettings& s) {
             s.XonXoffOut = s.XonXoffIn = true;
             s.Dtr = s.Rts = L::Raise;
         }) },
        { "rts handshake",
            [](TComm& c) {
                MainWindowProperties(c);
                c.setRtsControl(TRtsControl::RtsHandshake);
            },
            Line([](TLineSettings& s) {
                s.RtsCtsFlow = true;
                s.Rts = L::DriverControlled;
            }) },
        { "cts flow, dtr handshake, rts toggle",
            [](TComm& c) {
                MainWindowProperties(c);
                c.setOutx_CtsFlow(true);
                c.setDtrControl(TDtrControl::DtrHandshake);
                c.setRtsControl(TRtsControl::RtsTransmissionAvailable);
            },
            Line([](TLineSettings& s) {
                s.RtsCtsFlow = true;
                s.Dtr = L::Raise;
            }) },
        { "5 data bits, 1.5 stop, mark parity, own xon/xoff",
            [](TComm& c) {
                MainWindowProperties(c);
                c.setByteSize(TByteSize::_5);
                c.setStopBits(TStopBits::_1_5);
                c.setParity(TParity::Mark);
                c.setXonChar('A');
                c.setXoffChar('B');
                c.setBaudRate(11520);
            },
            Line([](TLineSettings& s) {
                s.DataBits = 5;
                s.TwoStopBits = true;
                s.Parity = TParity::Mark;
                s.XonChar = 'A';
                s.XoffChar = 'B';
                s.BaudRate = 11520;
            }) },
        { "parity check alone passes bytes unchanged",
            [](TComm& c) {
                MainWindowProperties(c);
                c.setParityCheck(true);
            },
            Line(none) },
        { "parity check with replacement, NULs dropped",
            [](TComm& c) {
                MainWindowProperties(c);
                c.setParityCheck(true);
                c.setReplaceWhenParityError(true);
                c.setIgnoreNullChar(true);
            },
            Line([](TLineSettings& s) {
                s.ParityErrorsAsNul = true;
                s.DropNulBytes = true;
            }) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TComm comm;
        c.set(comm);
        EXPECT_EQ(LineSettingsOf(comm), c.line);
    }
}

TEST(CommLineSettings, EveryOfferedBaudRateReachesThePort)
{
    TPty pty;
    for (const uint32_t rate : { 4800u, 9600u, 11520u, 12800u, 14400u, 19200u, 28800u, 38400u }) {
        SCOPED_TRACE(rate);
        TComm comm;
        MainWindowProperties(comm);
        comm.setCommName(pty.SlavePath());
        comm.setBaudRate(rate);
        comm.StartComm();
        const auto line = PosixSerial::ReadLineSettings(comm.Handle());
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, TermiosPart(LineSettingsOf(comm)));
        comm.StopComm();
    }
}

TEST(CommLineSettings, LivePropertiesApplyAtOnceThePortNameAtNextStart)
{
    // A pseudo-terminal always keeps 8 bits without parity; everything else it stores.
    TPty pty, other;
    TComm comm;
    MainWindowProperties(comm);
    comm.setCommName(pty.SlavePath());
    comm.StartComm();
    comm.setBaudRate(28800);
    comm.setStopBits(TStopBits::_2);
    comm.setOutx_XonXoffFlow(true);
    comm.setXoffChar('S');
    comm.setCommName(other.SlavePath());
    const auto line = PosixSerial::ReadLineSettings(comm.Handle());
    ASSERT_TRUE(line);
    EXPECT_EQ(line->BaudRate, 28800u);
    EXPECT_TRUE(line->TwoStopBits);
    EXPECT_TRUE(line->XonXoffOut);
    EXPECT_EQ(line->XoffChar, 'S');
    comm.setOutx_XonXoffFlow(false);

    ASSERT_TRUE(comm.WriteCommData("a", 1));
    EXPECT_EQ(pty.Read(1), "a");
    comm.StopComm();
    comm.StartComm();
    ASSERT_TRUE(comm.WriteCommData("b", 1));
    EXPECT_EQ(other.Read(1), "b");
    comm.StopComm();
}

TEST(CommLineSettings, CounterChangesBecomeErrorWordsAndModemEvents)
{
    using PosixSerial::TLineCounters;
    using PosixSerial::TLineEvents;
    struct Case
    {
        const char* what;
        std::function<void(TLineCounters&)> change;
        TLineEvents expected;
    };
    const Case cases[] = {
        { "nothing", [](TLineCounters&) {}, { 0, 0 } },
        { "carrier", [](TLineCounters& c) { ++c.Carrier; }, { 0, PosixSerial::kModemCarrier } },
        { "ring", [](TLineCounters& c) { c.Ring += 3; }, { 0, PosixSerial::kModemRing } },
        { "carrier and ring", [](TLineCounters& c) { ++c.Carrier, ++c.Ring; }, { 0, 12 } },
        { "frame", [](TLineCounters& c) { ++c.Frame; }, { PosixSerial::kErrorFrame, 0 } },
        { "parity and overrun", [](TLineCounters& c) { ++c.Parity, ++c.Overrun; },
            { PosixSerial::kErrorParity | PosixSerial::kErrorOverrun, 0 } },
        { "break and buffer overrun", [](TLineCounters& c) { ++c.Break, ++c.BufferOverrun; },
            { PosixSerial::kErrorBreak | PosixSerial::kErrorBufferOverrun, 0 } },
    };
    TLineCounters before;
    before.Frame = 0xFFFFFFFF; // the driver's counters wrap; a step across the wrap still counts
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TLineCounters after = before;
        c.change(after);
        EXPECT_EQ(PosixSerial::LineEventsBetween(before, after), c.expected);
    }
}
