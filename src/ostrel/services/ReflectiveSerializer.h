#pragma once

// The reflective XML and JSON forms shared by every record type.
//
// XML goes through the host's serialiser: each field is a child element named
// like the field, in field order. A sequence field's name splits by
// "([^_]+)_{0,2}(.*)" into the container element and the item element ("item"
// when the rest is empty), so `Errors__error` is <Errors><error>..</error></Errors>.
//
// JSON is written here: {"root":{"field":value,...}} with lower-cased names;
// sequences are arrays, their "item" items bare values and other items objects
// of one member; a field named "__none" is written as its bare value.

#include <string>

#include "ostrel/services/ReflectiveRecord.h"

namespace ReflectiveSerializer {

// Throws tctl::illformed_serialized_object_exception when it cannot write.
std::string writeXml(ReflectiveRecord& record, const std::string& rootName);
// Assigns the fields in order; throws tctl::mandatory_element_not_found_exception
// at the first missing element (the fields before it keep their new values) and
// tctl::illformed_serialized_object_exception for a document that cannot be read.
void readXml(const std::string& text, const std::string& rootName, ReflectiveRecord& record);
std::string writeJson(ReflectiveRecord& record, const std::string& rootName);

// The container and item element names of a sequence field.
void sequenceNames(const std::string& fieldName, std::string& container, std::string& item);
// A JSON string literal: the seven escapes, every other byte unchanged.
std::string jsonString(const std::string& text);

}  // namespace ReflectiveSerializer
