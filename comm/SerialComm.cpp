#include "comm/SerialComm.h"

#include "comm/CommWindow.h"
#include "comm/LineSettings.h"
#include "comm/PortEvent.h"
#include "comm/PosixSerial.h"
#include "comm/ReadThread.h"
#include "comm/Transport.h"
#include "comm/WriteThread.h"
#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Stores v and tells whether it differed, so that setters re-apply only on a real change.
template <class T> bool Changed(T& store, const T& v)
{
    if (store == v)
        return false;
    store = v;
    return true;
}

// Closes the stop signal (if made) and the port, leaving the component closed.
void ReleaseHandles(std::unique_ptr<TTransport>& transport, int& hCommFile, int& hCloseEvent)
{
    if (hCloseEvent >= 0)
        PosixSerial::CloseSignal(hCloseEvent);
    hCloseEvent = -1;
    transport.reset();
    hCommFile = 0;
}

// The system's own words for an errno, in the user's language.
QString SystemText(int osError)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(osError, buffer, sizeof buffer));
}

} // namespace

// Built exactly when the process may have run out of descriptors, which the dynamic type
// check of an undefined-behaviour sanitizer build needs for itself: that check would report
// a fault that is not there.
__attribute__((no_sanitize("vptr")))
ECommsError::ECommsError(const std::string& message, int osError, QString reason)
    : std::runtime_error(message)
    , FOsError(osError)
    , FReason(std::move(reason))
{ }

QString ECommsError::Reason() const
{
    if (!FReason.isEmpty())
        return FReason;
    switch (FOsError) {
    case 0:
        return {};
    case EACCES:
    case EPERM:
        return SystemText(FOsError) + QStringLiteral(": is the user in the dialout group?");
    case EBUSY: // the exclusive claim was refused
        return SystemText(FOsError) + QStringLiteral(": the port is in use by another program");
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return SystemText(FOsError) + QStringLiteral(": is the adapter plugged in?");
    case ENOTTY:
        return SystemText(FOsError) + QStringLiteral(": this device is not a serial port");
    case ECONNREFUSED:
        return SystemText(FOsError)
            + QStringLiteral(": is the device server running and listening on that port?");
    case EHOSTUNREACH:
    case ENETUNREACH:
        return SystemText(FOsError)
            + QStringLiteral(": is the device server switched on and on this network?");
    case ETIMEDOUT:
        return SystemText(FOsError) + QStringLiteral(": the device server did not answer");
    case ECONNRESET:
        return SystemText(FOsError)
            + QStringLiteral(": the device server closed the connection (in use by another client?)");
    default:
        return SystemText(FOsError);
    }
}

TLineSettings LineSettingsOf(const TComm& comm)
{
    TLineSettings s;
    s.BaudRate = comm.BaudRate();
    s.DataBits = 5 + static_cast<int>(comm.ByteSize());
    s.Parity = comm.Parity();
    s.TwoStopBits = comm.StopBits() != TStopBits::_1;
    // Without replacement the byte is passed on unchanged; the driver still counts the error,
    // and the receive thread reports it. NUL is the only replacement a POSIX driver makes.
    s.ParityErrorsAsNul = comm.ParityCheck() && comm.ReplaceWhenParityError();
    s.RtsCtsFlow = comm.Outx_CtsFlow() || comm.RtsControl() == TRtsControl::RtsHandshake;
    s.XonXoffOut = comm.Outx_XonXoffFlow();
    s.XonXoffIn = comm.Inx_XonXoffFlow();
    s.XonChar = comm.XonChar();
    s.XoffChar = comm.XoffChar();

    // The first value of both enumerations is "enable", not "disable". DTR handshake has no
    // POSIX counterpart, so the line is simply held ready. A toggled RTS rests low between
    // transmissions, which is where it is left.
    switch (comm.DtrControl()) {
    case TDtrControl::DtrEnable:
    case TDtrControl::DtrHandshake:
        s.Dtr = TModemLine::Raise;
        break;
    case TDtrControl::DtrDisable:
        s.Dtr = TModemLine::Lower;
        break;
    }
    switch (comm.RtsControl()) {
    case TRtsControl::RtsEnable:
        s.Rts = TModemLine::Raise;
        break;
    case TRtsControl::RtsDisable:
    case TRtsControl::RtsTransmissionAvailable:
        s.Rts = TModemLine::Lower;
        break;
    case TRtsControl::RtsHandshake:
        s.Rts = TModemLine::DriverControlled;
        break;
    }
    s.DropNulBytes = comm.IgnoreNullChar();
    return s;
}

TComm::TComm(QObject* AOwner)
    : QObject(AOwner)
    , FHWnd(new TCommWindow(this))
{ }

TComm::~TComm()
{
    StopComm();
}

void TComm::StartComm()
{
    if (hCommFile != 0)
        throw ECommsError("This serial port already opened");
    StartComm(OpenTransport(FCommName));
}

void TComm::StartComm(std::unique_ptr<TTransport> transport)
{
    if (hCommFile != 0)
        throw ECommsError("This serial port already opened");

    FTransport = std::move(transport);
    hCommFile = FTransport->Fd();
    FSendDataEmpty = true;
    ApplyTimeouts();
    ApplyLineSettings();

    // Each errno below is taken at once: the clean-up that follows may overwrite it.
    hCloseEvent = PosixSerial::CreateSignal();
    if (hCloseEvent < 0) {
        const int error = errno;
        ReleaseHandles(FTransport, hCommFile, hCloseEvent);
        throw ECommsError("Unable to create event", error);
    }

    if (!FHWnd->NewSession()) {
        const int error = errno;
        ReleaseHandles(FTransport, hCommFile, hCloseEvent);
        throw ECommsError("Unable to create event", error);
    }
    const TReadTimeouts timeouts { FReadIntervalTimeout, FReadTotalTimeoutMultiplier,
        FReadTotalTimeoutConstant };
    ReadThread = new (std::nothrow)
        TReadThread(*FTransport, hCloseEvent, FHWnd->RoomSignal(), FHWnd, timeouts, FIgnoreNullChar);
    if (!ReadThread || !ReadThread->Start()) {
        const int error = ReadThread ? errno : ENOMEM;
        delete ReadThread; // never started, so nothing to join
        ReadThread = nullptr;
        FHWnd->EndSession();
        ReleaseHandles(FTransport, hCommFile, hCloseEvent);
        throw ECommsError("Unable to create read thread", error);
    }

    WriteThread = new (std::nothrow) TWriteThread(*FTransport, hCloseEvent, FHWnd, &FSendDataEmpty);
    if (!WriteThread || !WriteThread->Start()) {
        const int error = WriteThread ? errno : ENOMEM;
        StopReader();
        delete WriteThread;
        WriteThread = nullptr;
        FHWnd->EndSession();
        ReleaseHandles(FTransport, hCommFile, hCloseEvent);
        throw ECommsError("Unable to create write thread", error);
    }
}

void TComm::StopComm()
{
    if (hCommFile == 0)
        return;
    StopReader();
    StopWriter();
    FHWnd->EndSession();
    ReleaseHandles(FTransport, hCommFile, hCloseEvent);
}

void TComm::StopReader()
{
    if (!ReadThread)
        return;
    PosixSerial::Raise(hCloseEvent);
    FTransport->Flush(PosixSerial::TQueue::Input);
    ReadThread->Join();
    delete ReadThread;
    ReadThread = nullptr;
}

void TComm::StopWriter()
{
    if (!WriteThread)
        return;
    PosixSerial::Raise(hCloseEvent); // already raised by StopReader; harmless
    FTransport->Flush(PosixSerial::TQueue::Output);
    FSendDataEmpty = true;
    WriteThread->Join();
    delete WriteThread;
    WriteThread = nullptr;
}

bool TComm::WriteCommData(const char* pDataToWrite, uint16_t dwSizeofDataToWrite)
{
    if (!WriteThread || dwSizeofDataToWrite == 0 || !pDataToWrite)
        return false;
    return WriteThread->Post(pDataToWrite, dwSizeofDataToWrite);
}

uint32_t TComm::GetModemState()
{
    if (hCommFile == 0)
        return 0;
    return FTransport->ModemStatus().value_or(0);
}

void TComm::ApplyLineSettings()
{
    const TLineSettings settings = LineSettingsOf(*this);
    FTransport->ApplyLineSettings(settings);
    if (ReadThread)
        ReadThread->SetDropNulBytes(settings.DropNulBytes);
}

void TComm::ApplyTimeouts()
{
    // The receive thread measures the read time-outs itself. Write time-outs change nothing
    // here: every block is written completely however many attempts that takes.
    if (ReadThread)
        ReadThread->SetTimeouts(
            { FReadIntervalTimeout, FReadTotalTimeoutMultiplier, FReadTotalTimeoutConstant });
}

bool TComm::PortWindowProc(QEvent* event)
{
    auto* e = static_cast<TPortEvent*>(event);
    // Marked delivered before the handler runs, so a handler that throws is not called again
    // with the same part. A chunk's block is owned here from now on: freed when this scope
    // ends, also when the handler throws.
    const TPortEvent::TChunk chunk = e->TakeNext();
    // Each handler is copied before the call, so a handler may reassign itself safely.
    switch (static_cast<int>(e->type())) {
    case TPortEvent::PortData:
        if (auto handler = OnReceiveData)
            handler(this, chunk.Block.get(), chunk.Length);
        return true;
    case TPortEvent::PortError:
        if (auto handler = OnReceiveError)
            handler(this, e->Value());
        return true;
    case TPortEvent::PortHangup:
        if (auto handler = OnRequestHangup)
            handler(this);
        return true;
    case TPortEvent::PortModem:
        if (auto handler = OnModemStateChange)
            handler(this, e->Value());
        return true;
    case TPortEvent::PortSendEmpty:
        if (auto handler = OnSendDataEmpty)
            handler(this);
        return true;
    case TPortEvent::PortBacklog:
        if (auto handler = OnReceiveBacklog)
            handler(this);
        return true;
    default:
        return false;
    }
}

void TComm::setBaudRate(uint32_t v)
{
    if (Changed(FBaudRate, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setParityCheck(bool v)
{
    if (Changed(FParityCheck, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setOutx_CtsFlow(bool v)
{
    if (Changed(FOutx_CtsFlow, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setOutx_DsrFlow(bool v)
{
    if (Changed(FOutx_DsrFlow, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setDtrControl(TDtrControl v)
{
    if (Changed(FDtrControl, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setDsrSensitivity(bool v)
{
    if (Changed(FDsrSensitivity, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setTxContinueOnXoff(bool v)
{
    if (Changed(FTxContinueOnXoff, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setOutx_XonXoffFlow(bool v)
{
    if (Changed(FOutx_XonXoffFlow, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setInx_XonXoffFlow(bool v)
{
    if (Changed(FInx_XonXoffFlow, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setReplaceWhenParityError(bool v)
{
    if (Changed(FReplaceWhenParityError, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setIgnoreNullChar(bool v)
{
    if (Changed(FIgnoreNullChar, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setRtsControl(TRtsControl v)
{
    if (Changed(FRtsControl, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setXonLimit(uint16_t v)
{
    if (Changed(FXonLimit, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setXoffLimit(uint16_t v)
{
    if (Changed(FXoffLimit, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setByteSize(TByteSize v)
{
    if (Changed(FByteSize, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setStopBits(TStopBits v)
{
    if (Changed(FStopBits, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setXonChar(char v)
{
    if (Changed(FXonChar, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setXoffChar(char v)
{
    if (Changed(FXoffChar, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setReplacedChar(char v)
{
    if (Changed(FReplacedChar, v) && hCommFile != 0)
        ApplyLineSettings();
}

void TComm::setReadIntervalTimeout(uint32_t v)
{
    if (Changed(FReadIntervalTimeout, v) && hCommFile != 0)
        ApplyTimeouts();
}

void TComm::setReadTotalTimeoutMultiplier(uint32_t v)
{
    if (Changed(FReadTotalTimeoutMultiplier, v) && hCommFile != 0)
        ApplyTimeouts();
}

void TComm::setReadTotalTimeoutConstant(uint32_t v)
{
    if (Changed(FReadTotalTimeoutConstant, v) && hCommFile != 0)
        ApplyTimeouts();
}

void TComm::setWriteTotalTimeoutMultiplier(uint32_t v)
{
    if (Changed(FWriteTotalTimeoutMultiplier, v) && hCommFile != 0)
        ApplyTimeouts();
}

void TComm::setWriteTotalTimeoutConstant(uint32_t v)
{
    if (Changed(FWriteTotalTimeoutConstant, v) && hCommFile != 0)
        ApplyTimeouts();
}
