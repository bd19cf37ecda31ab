#pragma once

// `tessaro-host --check`: every component reads the settings it would read at
// start and reports what is wrong; nothing is initialised or started.

#include <cstdio>

#include "tessaro/HostConfig.h"

// Prints what the components' settings stand for and one line per problem to
// `out`; 0 when there is none, 1 otherwise, 2 when a plug-in cannot be loaded.
int checkConfiguration(const HostConfig& config, FILE* out);
