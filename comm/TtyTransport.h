#pragma once
// TTtyTransport: a local serial device (or pseudo-terminal) through the POSIX layer.
#include "comm/Transport.h"

class TTtyTransport : public TTransport
{
public:
    explicit TTtyTransport(int fd); // takes over a port PosixSerial::OpenPort opened
    ~TTtyTransport() override;
    TTtyTransport(const TTtyTransport&) = delete;
    TTtyTransport& operator=(const TTtyTransport&) = delete;

    int Fd() const override { return FFd; }
    ssize_t Read(const iovec* iov, int count) override;
    ssize_t Send(const char* data, std::size_t size) override;
    void ApplyLineSettings(const TLineSettings& settings) override;
    std::optional<uint32_t> ModemStatus() override;
    std::optional<PosixSerial::TLineCounters> ReadLineCounters() override;
    void Flush(PosixSerial::TQueue queue) override;

private:
    const int FFd;
};
