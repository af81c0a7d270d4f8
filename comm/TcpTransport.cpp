#include "comm/TcpTransport.h"

#include "comm/NetSocket.h"
#include <cerrno>
#include <unistd.h>

TTcpTransport::TTcpTransport(int socket)
    : FFd(socket)
{ }

TTcpTransport::~TTcpTransport()
{
    while (close(FFd) < 0 && errno == EINTR) { }
}

ssize_t TTcpTransport::Read(const iovec* iov, int count)
{
    return readv(FFd, iov, count);
}

ssize_t TTcpTransport::Send(const char* data, std::size_t size)
{
    return size == 0 ? 0 : NetSocket::Send(FFd, data, size);
}
