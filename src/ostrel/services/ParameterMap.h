#pragma once

#include <map>
#include <string>

// Request parameters by name. Names keep their case and are ordered byte-wise,
// which fixes the order of the items that a list marker writes.
using ParameterMap = std::map<std::string, std::string>;
