#pragma once
// TComm: one serial port, opened non-blocking and exclusive, with a receive thread and a
// transmit thread. The threads never call the owner: they post events to a private
// QObject on the owner's thread, whose event() raises the On… callbacks there.
#include "comm/CommEnums.h"
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class TReadThread;
class TWriteThread;
class TCommWindow;
class TTransport;
struct TLineSettings;

// StartComm failed; what() is the message for the operator, and when the system refused
// something, OsError() is the errno of the refused call.
class ECommsError : public std::runtime_error
{
public:
    explicit ECommsError(const std::string& message, int osError = 0, QString reason = {});
    int OsError() const { return FOsError; }
    // The cause in words, with a hint at the usual remedy where one is likely (permission, a
    // port held by another program, an adapter not plugged in, a device server not
    // listening); empty when there is no known cause. A cause given at construction (a port
    // text that names no port, a host name not found) comes as given.
    QString Reason() const;

private:
    int FOsError;
    QString FReason;
};

class TComm;
using TReceiveDataEvent = std::function<void(TComm* Sender, const char* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;

// The line TComm's properties ask for, in POSIX terms. Settings without an equivalent there
// (DSR flow and sensitivity, XON/XOFF limits, continue-on-XOFF, the parity replacement
// character) have no effect, just as a driver that refuses them would leave the line unchanged.
TLineSettings LineSettingsOf(const TComm& comm);

class TComm : public QObject
{
    Q_OBJECT
public:
    explicit TComm(QObject* AOwner = nullptr);
    ~TComm() override; // stops a port left open

    // Opens the port CommName() names: a local device, "tcp://HOST:PORT" (a device server's
    // raw stream) or "rfc2217://HOST:PORT" (Telnet with remote line control, which carries
    // the line settings to the server's port). Throws ECommsError. A network port may hold
    // the calling thread for seconds; TPortOpener opens one on a thread of its own, and the
    // overload below starts it.
    void StartComm();
    // The owner's half of StartComm: starts the port on a transport OpenTransport has opened
    // (on any thread), for the port named CommName(). Throws ECommsError, as StartComm does,
    // and then the transport is closed; also when this port is open already.
    void StartComm(std::unique_ptr<TTransport> transport);
    void StopComm(); // does nothing when closed; harmless twice
    // Copies the block and hands it to the transmit thread; false when closed, for a
    // count of 0, or when the hand-over fails. Never blocks.
    bool WriteCommData(const char* pDataToWrite, uint16_t dwSizeofDataToWrite);
    // CTS 0x10, DSR 0x20, ring 0x40, carrier 0x80; 0 when closed or when the port has no
    // modem lines (a raw network stream).
    uint32_t GetModemState();

    // The port's descriptor (a socket for a network port); 0 while closed.
    int Handle() const { return hCommFile; }
    bool SendDataEmpty() const { return FSendDataEmpty.load(); }

    // Used at the next StartComm.
    QString CommName() const { return FCommName; }
    void setCommName(const QString& v) { FCommName = v; }
    TParity Parity() const { return FParity; }
    void setParity(TParity v) { FParity = v; }

    // Applied at once while open.
    uint32_t BaudRate() const { return FBaudRate; }
    void setBaudRate(uint32_t v);
    bool ParityCheck() const { return FParityCheck; }
    void setParityCheck(bool v);
    bool Outx_CtsFlow() const { return FOutx_CtsFlow; }
    void setOutx_CtsFlow(bool v);
    bool Outx_DsrFlow() const { return FOutx_DsrFlow; }
    void setOutx_DsrFlow(bool v);
    TDtrControl DtrControl() const { return FDtrControl; }
    void setDtrControl(TDtrControl v);
    bool DsrSensitivity() const { return FDsrSensitivity; }
    void setDsrSensitivity(bool v);
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    void setTxContinueOnXoff(bool v);
    bool Outx_XonXoffFlow() const { return FOutx_XonXoffFlow; }
    void setOutx_XonXoffFlow(bool v);
    bool Inx_XonXoffFlow() const { return FInx_XonXoffFlow; }
    void setInx_XonXoffFlow(bool v);
    bool ReplaceWhenParityError() const { return FReplaceWhenParityError; }
    void setReplaceWhenParityError(bool v);
    bool IgnoreNullChar() const { return FIgnoreNullChar; }
    void setIgnoreNullChar(bool v);
    TRtsControl RtsControl() const { return FRtsControl; }
    void setRtsControl(TRtsControl v);
    uint16_t XonLimit() const { return FXonLimit; }
    void setXonLimit(uint16_t v);
    uint16_t XoffLimit() const { return FXoffLimit; }
    void setXoffLimit(uint16_t v);
    TByteSize ByteSize() const { return FByteSize; }
    void setByteSize(TByteSize v);
    TStopBits StopBits() const { return FStopBits; }
    void setStopBits(TStopBits v);
    char XonChar() const { return FXonChar; }
    void setXonChar(char v);
    char XoffChar() const { return FXoffChar; }
    void setXoffChar(char v);
    char ReplacedChar() const { return FReplacedChar; }
    void setReplacedChar(char v);
    uint32_t ReadIntervalTimeout() const { return FReadIntervalTimeout; }
    void setReadIntervalTimeout(uint32_t v);
    uint32_t ReadTotalTimeoutMultiplier() const { return FReadTotalTimeoutMultiplier; }
    void setReadTotalTimeoutMultiplier(uint32_t v);
    uint32_t ReadTotalTimeoutConstant() const { return FReadTotalTimeoutConstant; }
    void setReadTotalTimeoutConstant(uint32_t v);
    uint32_t WriteTotalTimeoutMultiplier() const { return FWriteTotalTimeoutMultiplier; }
    void setWriteTotalTimeoutMultiplier(uint32_t v);
    uint32_t WriteTotalTimeoutConstant() const { return FWriteTotalTimeoutConstant; }
    void setWriteTotalTimeoutConstant(uint32_t v);

    // Raised on the owner's thread; each may be left unassigned.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;
    // The instrument sends faster than the owner takes what arrives: the receive thread has
    // stopped reading until the owner catches up, leaving the bytes to the driver's queue
    // and the line's flow control (without flow control the driver may drop some). Raised
    // once per open port, when this first happens.
    TNotifyEvent OnReceiveBacklog;

private:
    friend class TCommWindow;
    void ApplyLineSettings();
    void ApplyTimeouts();
    void StopReader();
    void StopWriter();
    // Delivers the next part of a worker's message: one chunk of received data, or the whole
    // of any other message.
    bool PortWindowProc(class QEvent* event);

    TReadThread* ReadThread = nullptr;
    TWriteThread* WriteThread = nullptr;
    std::unique_ptr<TTransport> FTransport; // the open port; the threads use it by reference
    int hCommFile = 0; // FTransport's descriptor; 0 alone means closed
    int hCloseEvent = -1; // eventfd, readable once set; never reset
    TCommWindow* FHWnd = nullptr;
    std::atomic<bool> FSendDataEmpty { true }; // written by the owner and the transmit thread

    QString FCommName = QStringLiteral("COM2");
    uint32_t FBaudRate = 9600;
    bool FParityCheck = false;
    bool FOutx_CtsFlow = false;
    bool FOutx_DsrFlow = false;
    TDtrControl FDtrControl = TDtrControl::DtrEnable;
    bool FDsrSensitivity = false;
    bool FTxContinueOnXoff = true;
    bool FOutx_XonXoffFlow = true;
    bool FInx_XonXoffFlow = true;
    bool FReplaceWhenParityError = false;
    bool FIgnoreNullChar = false;
    TRtsControl FRtsControl = TRtsControl::RtsEnable;
    uint16_t FXonLimit = 500;
    uint16_t FXoffLimit = 500;
    TByteSize FByteSize = TByteSize::_8;
    TParity FParity = TParity::None;
    TStopBits FStopBits = TStopBits::_1;
    char FXonChar = 0x11;
    char FXoffChar = 0x13;
    char FReplacedChar = 0x00;
    uint32_t FReadIntervalTimeout = 100;
    uint32_t FReadTotalTimeoutMultiplier = 0;
    uint32_t FReadTotalTimeoutConstant = 0;
    uint32_t FWriteTotalTimeoutMultiplier = 0;
    uint32_t FWriteTotalTimeoutConstant = 0;
};
