#pragma once
// TTcpTransport: a device server's raw TCP stream (every byte is the instrument's). The
// server's serial line is set up on the server; there are no modem lines to read.
#include "comm/Transport.h"

class TTcpTransport : public TTransport
{
public:
    explicit TTcpTransport(int socket); // takes over a connected, non-blocking socket
    ~TTcpTransport() override;
    TTcpTransport(const TTcpTransport&) = delete;
    TTcpTransport& operator=(const TTcpTransport&) = delete;

    int Fd() const override { return FFd; }
    ssize_t Read(const iovec* iov, int count) override;
    ssize_t Send(const char* data, std::size_t size) override;
    void ApplyLineSettings(const TLineSettings&) override { }
    std::optional<uint32_t> ModemStatus() override { return std::nullopt; }
    std::optional<PosixSerial::TLineCounters> ReadLineCounters() override { return std::nullopt; }
    void Flush(PosixSerial::TQueue) override { }

private:
    const int FFd;
};
