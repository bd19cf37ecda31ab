#pragma once

// Every configuration key the plug-in reads, and the addresses it never reads
// from the configuration.

namespace ConfigKeys {

constexpr const char* kKeepAlive = "Ostrel/KeepAlive";
constexpr const char* kDataPath = "Directories/VarPath";
constexpr const char* kDocumentRoot = "Ostrel/DocumentRoot";
constexpr const char* kDownloadRoot = "Ostrel/DownloadRoot";
constexpr const char* kDefaultUIType = "Ostrel/DefaultUIType";
constexpr const char* kReferrerCheck = "Ostrel/ReferrerCheck";

constexpr const char* kPortRegistryKey = "Software\\Corvane\\Tessaro";
constexpr const char* kPortRegistryValue = "OstrelPort";

}  // namespace ConfigKeys
