#pragma once

#include <string>

// Text as XML element content or attribute value: < > & ' " written as entity
// references; every other byte unchanged.
std::string xmlEscape(const std::string& text);
