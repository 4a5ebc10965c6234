// The native messaging manifest: the names in it, its text, and the problems a
// manifest found on disk can have. Pure: judged without touching the host.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qorda::setup {

inline constexpr std::string_view defaultHostName = "com.velmox.qorda.native_host";
inline constexpr std::string_view hostProgramName = "QordaNativeMessagingHost";
inline constexpr std::string_view hostDescription = "Qorda native messaging host";

bool isValidExtensionId(std::string_view id);  // 32 letters a to p
bool isValidHostName(std::string_view name);
bool isValidUtf8(std::string_view text);

std::string manifestFileName(std::string_view hostName);  // "<name>.json"

struct ManifestFields {
  std::string name;
  std::string description;
  std::string path;
  std::vector<std::string> extensionIds;
};
std::string buildManifestText(const ManifestFields& fields);

// What a manifest text says, with its problems; hostPath is the "path" value
// when there is one.
struct ManifestCheck {
  std::string hostPath;
  std::vector<std::string> problems;
};
ManifestCheck checkManifestText(std::string_view text, std::string_view expectedName,
                                const std::vector<std::string>& requiredIds = {});

// Ours: a JSON object whose "path" ends in "/QordaNativeMessagingHost".
bool isOurManifest(std::string_view text);

}  // namespace qorda::setup
