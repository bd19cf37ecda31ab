#pragma once

// The plug-in library hides every symbol but these.
#define BIZL_EXPORT __attribute__((visibility("default")))
