// dcload-cli report: a PDF report of one run of the shared results store.
#include "app/cli/Cli.h"

int Cli::Report()
{
    Complain(QStringLiteral("report is not available yet"));
    return PortFailed;
}
