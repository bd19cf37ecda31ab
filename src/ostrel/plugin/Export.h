#pragma once

// The plug-in library hides every symbol but these.
#define OSTREL_EXPORT __attribute__((visibility("default")))
