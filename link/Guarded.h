#pragma once
// How a handler's failure reaches the operator: whatever the work throws ends it, and its
// message goes to `report` instead of unwinding into the event loop.
#include <QString>

#include <exception>

template <class Work, class Report> void RunReporting(Work&& work, Report&& report)
{
    try {
        work();
    } catch (const std::exception& e) {
        report(QString::fromStdString(e.what()));
    } catch (...) {
        report(QStringLiteral("An unexpected error occurred."));
    }
}
