#include "ostrel/services/UIContexts.h"

UIDescriptorPtr UIContexts::forUIType(const std::string& uiType) {
  if (UIDescriptorPtr kept = holder_.get(uiType)) return kept;
  UIDescriptorPtr made = factory_.create(uiType);
  if (made) holder_.put(uiType, made);
  return made;
}
