// clbtool sheet FILE.pdf: the coefficient sheets of the slots read out, into a PDF file.
#pragma once

#include "DevManager.h"
#include "Host.h"
#include "Settings.h"

#include <cstddef>
#include <string>

// Groups the slots that take part, lays out one sheet per meter with today's
// date and the settings' footer lines, and prints them into pdfPath. Failures
// (a serial number that is no integer, a PDF that cannot be written, no
// printing module) are told through the host; false then. pages: how many
// pages the file got.
bool PrintSheetCommand(const DevManager& dev, const Settings& settings, Host& host, const std::string& pdfPath,
                       std::size_t& pages);
