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
#pragma once

#include <ostream>
#include <string>
#include <vector>

// "plant" first.
bool IsPlantCommand(const std::vector<std::string>& args);
// "journal" with --plant or --sync.
bool IsPlantJournalCommand(const std::vector<std::string>& args);

// 0 success; 1 the server could not be reached or refused (the message names
// the cause), or events are left waiting after --sync; 2 a usage error or the
// plant record is not set up.
int RunPlantCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::string& settingsFile);
