#pragma once

#include "balancesimulator.h"
#include "support/commandline.h"

#include <QString>
#include <QStringList>

namespace Veltrano::Sim {

// What veltrano-balance-sim's command line asks it to play, and where.
struct Options
{
    Scenario scenario;
    QString link;         // --link PATH; empty when not asked for
    int listenPort = -1;  // --listen PORT; -1 for a pseudo-terminal
};

// Reads a command line, the program's name first. Run: `options` holds what
// it asks for. Help: `text` is the help. UsageError: `text` tells which
// option cannot take what ("invalid value for --interval: 'x'").
CommandLine::Outcome readOptions(const QStringList &arguments, Options *options, QString *text);

} // namespace Veltrano::Sim
