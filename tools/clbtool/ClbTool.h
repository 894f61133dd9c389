// clbtool: identify meters, read them out and poll them from the command line,
// through the same slot table, settings and workflow as the window.
//
//   clbtool [--port PORT] [--baud 9600|19200] [--clb FILE | --slot SLOT [--slot SLOT]]
//           [--timeouts BYTE,PACKET,REPEAT] [--json] COMMAND [ARGS]
//   clbtool --help | --version | types
//
// Everything a person reads is Russian; under --json every outcome, a usage
// error included, is one JSON object on the standard output (English keys).
// Exit status: 0 success, 1 a meter operation failed, 2 a usage or file error
// (found before the port is opened), 130 or 143 a poll or a calibration ended by SIGINT or
// SIGTERM.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

int RunClbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
