#include "app/cli/StopRequest.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read by the event loop; set once before any handler is.
int gSignalled = -1;

void Signalled(int)
{
    const int saved = errno;
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(gSignalled, &one, sizeof one);
    errno = saved;
}

} // namespace

StopRequest::StopRequest()
{
    if (gSignalled < 0)
        gSignalled = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct sigaction action
    {
    };
    action.sa_handler = Signalled;
    // Restarted, so a signal during a write to standard output is no failed write.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        sigaction(signal, &action, nullptr);
    FNotifier = std::make_unique<QSocketNotifier>(gSignalled, QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
        uint64_t count = 0;
        if (::read(gSignalled, &count, sizeof count) == sizeof count && OnStop)
            OnStop(static_cast<int>(std::min<uint64_t>(count, 2)));
    });
}
