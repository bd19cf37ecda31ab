#include "ostrel/services/UIType.h"

bool isSafeUIType(const std::string& uiType) {
  if (uiType.empty() || uiType.size() > 64 || uiType[0] == '.') return false;
  for (const char c : uiType) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
    if (!safe) return false;
  }
  return true;
}
