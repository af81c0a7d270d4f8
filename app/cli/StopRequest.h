#pragma once
// Ctrl+C, a termination request and a hang-up of the terminal (SIGINT, SIGTERM, SIGHUP)
// come back to the event loop as a wish to stop, with how many arrived since the last time
// it was read. One instance in the program: the signal handler writes to its eventfd,
// which stays open to the end so that a late signal never writes to a closed descriptor.
#include <QSocketNotifier>
#include <functional>
#include <memory>

class StopRequest
{
public:
    StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    std::function<void(int requests)> OnStop;

private:
    std::unique_ptr<QSocketNotifier> FNotifier;
};
