#include "comm/TtyTransport.h"

#include <unistd.h>

TTtyTransport::TTtyTransport(int fd)
    : FFd(fd)
{ }

TTtyTransport::~TTtyTransport()
{
    PosixSerial::ClosePort(FFd);
}

ssize_t TTtyTransport::Read(const iovec* iov, int count)
{
    return readv(FFd, iov, count);
}

ssize_t TTtyTransport::Send(const char* data, std::size_t size)
{
    return size == 0 ? 0 : write(FFd, data, size);
}

void TTtyTransport::ApplyLineSettings(const TLineSettings& settings)
{
    PosixSerial::ApplyLineSettings(FFd, settings);
}

std::optional<uint32_t> TTtyTransport::ModemStatus()
{
    return PosixSerial::ModemStatus(FFd);
}

std::optional<PosixSerial::TLineCounters> TTtyTransport::ReadLineCounters()
{
    return PosixSerial::ReadLineCounters(FFd);
}

void TTtyTransport::Flush(PosixSerial::TQueue queue)
{
    PosixSerial::Flush(FFd, queue);
}
