// clbtool scan: finds the meters on a line by asking every address at every
// baud rate who is there.
//
//   clbtool scan [--port PORT] [--baud 9600,19200] [--addresses 0-16]
//                [--protocols 6x,m4[,modbus]] [--relay SERIAL] [--json]
//                [--trace FILE [--trace-format text|jsonl]]
//
// It only reads: identification and serial-number reads, nothing written and no
// verification mode switched. Each meter is listed once, with every baud rate it
// answered at. Progress goes to the error output when it is a terminal; SIGINT or
// SIGTERM ends the scan after the address being asked, with what was found.
// Exit status: 0 done, 1 the port would not open, 2 usage, 130/143 stopped by a signal.
#pragma once

// The command's row: see Commands.h.
