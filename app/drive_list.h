// --list: the drives and devices that can hold a card, one a line.
#pragma once

#include <string>

#include "platform/platform.h"

// Returns the line of `drive` without its line end: name, type, size, and what else is known.
std::string drive_line(const DriveInfo& drive);

// Prints the line of every drive and device the platform finds.
void print_drive_list();
