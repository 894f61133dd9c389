// clbtool ports [--json]: the serial devices of this computer by stable name,
// with what keeps a user from opening them.
#pragma once

#include "SerialPorts.h"

#include <ostream>
#include <string>
#include <vector>

// True when the arguments ask for the port list: "ports", with or without "--json".
bool IsPortsCommand(const std::vector<std::string>& args);

// Prints the list (text or JSON) and any running service that grabs adapters.
// Returns the exit status: 0.
int RunPortsCommand(const std::vector<std::string>& args, std::ostream& out, const SerialPortSystem& sys = {});
