// clbtool: identify meters, read them out and poll them from the command line,
// through the same slot table, settings and workflow as the window.
//
//   clbtool [--port PORT] [--baud 9600|19200] [--clb FILE | --slot SLOT [--slot SLOT]]
//           [--timeouts BYTE,PACKET,REPEAT] [--json] COMMAND [ARGS]
//
// Exit status: 0 success, 1 a meter operation failed, 2 a usage or file error.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

int RunClbTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
