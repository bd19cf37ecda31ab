#pragma once

#include <string>

#include "bizl-demo/PlaceholderSource.h"

namespace bizl {

// Replaces each placeholder of `text` by what `source` resolves it to. A
// placeholder is "{", an optional "!" (mandatory), a name of letters, digits and
// "_", ".", ":", "-", and "}"; every other brace is literal text (so "{}" stays).
// Inserted text is not scanned again.
std::string fillTemplate(const std::string& text, PlaceholderSource& source);

}  // namespace bizl
