// The plant record from the command line:
//
//   clbtool journal --plant [--serial S] [--since DATE] [--bench B] [--json|--csv]
//       the events of every bench as the plant's server has them
//   clbtool journal --sync [--json]
//       sends what waits in this bench's outbox and says what is left
//   clbtool plant init [--json]
//       creates the schema on the server, or upgrades it
//   clbtool plant status [--json]
//       how many events of this bench wait to be sent
//
// Every one takes --database CONNINFO instead of [Plant] Database of the
// settings file (for a quality-control computer, or the owner's role for init).
//
// Exit status: 0 success; 1 the server could not be reached or refused (the
// message names the cause), or events are left waiting after --sync; 2 a
// usage error or the plant record is not set up.
#pragma once

#include "CommandLine.h"

// The journal command's options for the plant record (its --serial is its own).
std::vector<OptionRule> PlantJournalOptions();
// journal with --plant or --sync.
bool IsPlantJournal(const Options& o);
void CheckPlantJournal(const Options& o);
int RunPlantJournal(ToolContext& t);
// The same with the settings file given (not the one beside the program):
// "plant ..." or "journal --plant|--sync ...".
int RunPlantCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::string& settingsFile);
