// The rows of clbtool's command table, one from the file of each command.
#pragma once

#include "CommandLine.h"

Command TypesCommand();
Command ProbeCommand();
Command ReadCommand();
Command PollCommand();
Command SaveCommand();
Command WriteCommand();
Command RestoreCommand();
Command CalibrateCommand();
Command SheetCommand();
Command JournalCommand();
Command PlantCommand();
Command PortsCommand();
Command ScanCommand();

// The check of a command that takes no arguments.
void NoArguments(Options& o);
