#pragma once

#include <string>

// The body of a JSON string literal: backslash, double quote, backspace, form
// feed, line feed, carriage return and tab escaped; every other byte unchanged.
std::string jsonEscape(const std::string& text);
