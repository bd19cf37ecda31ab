#pragma once

// How a reply or an event reaches the browser.

#include <string>

enum class OutputFormat : int {
  Unset = -1,     // in a UI descriptor: no choice made
  Xml = 0,        // as the business logic wrote it, XML
  XmlAsJson = 1,  // XML converted to JSON here
  Json = 2,       // JSON as the business logic wrote it
};

// The format a number names; any number but 0, 2 and -1 is XmlAsJson, as the
// engine's "resp_coding" and the UI manifests are read.
OutputFormat outputFormatOf(int number);
inline int numberOf(OutputFormat format) { return static_cast<int>(format); }

// True when the text reaching the browser is JSON.
inline bool isJson(OutputFormat format) { return format == OutputFormat::XmlAsJson || format == OutputFormat::Json; }

// The one rendering of a reply's or an event's text: XmlAsJson converts it,
// every other format passes it as it is.
std::string render(const std::string& text, OutputFormat format);
