#pragma once
// TTransport: what TComm and its threads talk through, beneath the pipeline: a local serial
// device, a raw TCP stream, or Telnet with remote line control. The receive thread reads
// and asks for line events, the transmit thread sends, the owner's thread applies line
// settings, reads the modem state and purges; each implementation makes those safe side
// by side. None of them throws once open.
#include "comm/LineSettings.h"
#include "comm/PosixSerial.h"
#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <sys/uio.h>

// A transport is handed over open, with the queues of the port beneath it empty.
class TTransport
{
public:
    virtual ~TTransport() = default; // closes

    // The descriptor the threads poll: readable when Read has something to do, writable
    // when Send may take more.
    virtual int Fd() const = 0;

    // Like readv: the instrument's bytes into iov, in order; 0 when the other end has closed;
    // -1 with errno otherwise. EINTR says only the transport's own traffic came in: nothing
    // for the owner, read again when Fd() is readable.
    virtual ssize_t Read(const iovec* iov, int count) = 0;
    // Sends what it can of data, after anything the transport must send first; the count of
    // data's bytes taken (a size of 0 only pushes those out), or -1 with errno: EAGAIN to
    // wait until Fd() is writable, anything else means the port is gone.
    virtual ssize_t Send(const char* data, std::size_t size) = 0;
    // Bytes of the transport's own (protocol answers, commands, the tail of an escaped
    // block) still wait to be sent; the transmit thread pushes them out with Send(…, 0).
    virtual bool OutputPending() { return false; }
    // Raised when such bytes were queued by another thread than the transmit thread; -1
    // when the transport never queues any.
    virtual int OutputSignal() const { return -1; }

    virtual void ApplyLineSettings(const TLineSettings& settings) = 0;
    virtual std::optional<uint32_t> ModemStatus() = 0;
    // For the receive thread: the counters of line events; nullopt when none are kept.
    virtual std::optional<PosixSerial::TLineCounters> ReadLineCounters() = 0;
    virtual void Flush(PosixSerial::TQueue queue) = 0;
};

// Opens the port the text names (see ParsePortText); throws ECommsError with the message
// the operator reads and the cause. Touches nothing but what it opens, so it may run on any
// thread; a network port may take seconds (name lookup, connect, Telnet negotiation), and
// raising cancelSignal (an eventfd, or -1 for none) ends each of those waits at once, with
// ECANCELED as the cause.
std::unique_ptr<TTransport> OpenTransport(const QString& portText, int cancelSignal = -1);

// Opening the text's port never waits: a local device (opened non-blocking) or a text that
// names no port (refused at once). Only a network port waits for the network.
bool OpensAtOnce(const QString& portText);
