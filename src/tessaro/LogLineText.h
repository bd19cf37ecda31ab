#pragma once

#include <string>

// A log line as it may be written: the five 0x0B bytes that end the fields
// before the text stay; every other control character (C0, DEL, and C1
// written in UTF-8), and every byte that is no part of valid UTF-8, is shown
// as "\xHH" (a line feed as "\n", a carriage return as "\r"). Texts come from
// requests of any local process or web page: they must neither start a line
// of their own nor reach a terminal as an escape sequence.
std::string safeLogLine(const std::string& line);
