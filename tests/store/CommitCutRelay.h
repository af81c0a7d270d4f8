#pragma once
// A TCP relay in front of a PostgreSQL server's Unix socket that, when told to, lets the
// client's next commit through and then cuts both connections before the server's answer
// reaches the client: the row is on the server, and the client cannot know it.
#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class CommitCutRelay
{
public:
    explicit CommitCutRelay(const QString& socketPath)
        : FSocketPath(socketPath.toLocal8Bit())
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(FListener, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(FListener, 8);
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &size);
        FPort = ntohs(address.sin_port);
        if (::pipe(FStop) != 0)
            FStop[0] = FStop[1] = -1;
        FThread = std::thread([this] { Loop(); });
    }
    ~CommitCutRelay()
    {
        ::close(FStop[1]); // wakes the loop, which ends
        FThread.join();
        ::close(FStop[0]);
        ::close(FListener);
    }
    CommitCutRelay(const CommitCutRelay&) = delete;
    CommitCutRelay& operator=(const CommitCutRelay&) = delete;

    int Port() const { return FPort; }
    void CutNextCommit() { FArmed = true; }
    // How many commits went through unanswered.
    int Cuts() const { return FCuts; }

private:
    int ToServer() const
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        ::strncpy(address.sun_path, FSocketPath.constData(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void Loop()
    {
        std::vector<std::pair<int, int>> pairs; // client, server
        const auto drop = [&pairs](size_t i) {
            ::close(pairs[i].first);
            ::close(pairs[i].second);
            pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
        };
        for (;;) {
            std::vector<pollfd> fds { { FStop[0], POLLIN, 0 }, { FListener, POLLIN, 0 } };
            for (const auto& [client, server] : pairs) {
                fds.push_back({ client, POLLIN, 0 });
                fds.push_back({ server, POLLIN, 0 });
            }
            if (::poll(fds.data(), fds.size(), -1) < 0)
                continue;
            if (fds[0].revents != 0)
                break;
            char buffer[65536];
            for (size_t i = pairs.size(); i-- > 0;) {
                const auto [client, server] = pairs[i];
                if (fds[3 + 2 * i].revents != 0) {
                    const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
                    if (got <= 0 || ::send(client, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) {
                        drop(i);
                        continue;
                    }
                }
                if (fds[2 + 2 * i].revents != 0) {
                    const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                    if (got <= 0 || ::send(server, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) {
                        drop(i);
                        continue;
                    }
                    if (FArmed
                        && QByteArray(buffer, static_cast<qsizetype>(got)).toLower().contains("commit")) {
                        // The server's answer means the commit is done; it never reaches the client.
                        pollfd answer { server, POLLIN, 0 };
                        if (::poll(&answer, 1, 10000) > 0)
                            (void)::recv(server, buffer, sizeof buffer, 0);
                        drop(i);
                        FArmed = false;
                        ++FCuts;
                    }
                }
            }
            if (fds[1].revents != 0) {
                const int client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
                const int server = client >= 0 ? ToServer() : -1;
                if (server >= 0)
                    pairs.emplace_back(client, server);
                else if (client >= 0)
                    ::close(client);
            }
        }
        for (size_t i = pairs.size(); i-- > 0;)
            drop(i);
    }

    const QByteArray FSocketPath;
    int FListener = -1;
    int FPort = 0;
    int FStop[2] { -1, -1 }; // closing the write end ends the loop
    std::thread FThread;
    std::atomic<bool> FArmed { false }; // set by the test, cleared by the relay's thread
    std::atomic<int> FCuts { 0 }; // written by the relay's thread, read by the test
};
