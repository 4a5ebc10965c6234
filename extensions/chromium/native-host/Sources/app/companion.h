// The host's channels to the desktop application. Plain C++: each platform
// implements them in its own files (*_linux.cpp, companion_macos.mm).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qorda {

// Names shared with the desktop application; fixed for the life of the host.
inline constexpr std::string_view notificationName = "com.velmox.qorda.capture.intent.submit";
inline constexpr std::string_view hostAppBundleID = "com.velmox.qorda";
inline constexpr std::string_view appGroupID = "group.com.velmox.qorda";
inline constexpr std::string_view appGroupInboxKey = "capture_inbox_payloads";
inline constexpr std::string_view policyPasteboardName = "com.velmox.qorda.policy";

// The policy file's identity, size and times, in nanoseconds (Linux).
struct FileStamps {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modified = 0;
  long long changed = 0;
};

// What a snapshot was read under: enough to tell later, without reading it
// again, that the published snapshot is still that one. The file's stamps
// and the time of the read on Linux; the pasteboard's change count on macOS.
struct SnapshotVersion {
  FileStamps stamps;
  long long readAt = 0;
  long changeCount = 0;
};

// The snapshot published right now.
struct PublishedSnapshot {
  std::optional<std::string> text;         // nothing when none is published or it cannot be read
  std::optional<SnapshotVersion> version;  // nothing when the read proves no version
};

// Reads the published snapshot. The text leaves jsonTextPadding bytes of
// spare, zeroed capacity after its end so the JSON parser can read in place.
PublishedSnapshot readPolicySnapshot();

// True only when the snapshot published now is provably the one read under
// version, found without reading it.
bool isPolicySnapshotUnchanged(const SnapshotVersion& version);

// Appends one message text to the capture inbox. Reports nothing.
void appendToCaptureInbox(std::string_view messageText);

// Starts the desktop application hidden and not activated unless it runs.
// Waits at most half a second for the launch request to go out, never for
// the application itself. Reports nothing.
void ensureHostAppIsRunningInBackground();

// Announces a capture to the desktop application. Reports nothing.
void postCaptureNotification(std::string_view messageText);

}  // namespace qorda
