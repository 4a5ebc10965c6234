// The host's channels to the desktop application. Plain C++: each platform
// implements them in its own files (*_linux.cpp, companion_macos.mm).
#pragma once

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

// Spare capacity that readPolicySnapshotText leaves after the text, so the
// JSON parser can read it in place instead of copying it.
inline constexpr std::size_t policyTextPadding = 64;

// The policy snapshot as the desktop application last published it, or
// nothing when none is published or it cannot be read. Bytes that are not
// UTF-8 are left for the JSON parser to refuse.
std::optional<std::string> readPolicySnapshotText();

// True only when the published snapshot is provably the one that
// readPolicySnapshotText last returned, found without reading it.
bool isPolicySnapshotUnchanged();

// Appends one message text to the capture inbox. Reports nothing.
void appendToCaptureInbox(std::string_view messageText);

// Starts the desktop application hidden and not activated unless it runs.
// Waits at most half a second for the launch request to go out, never for
// the application itself. Reports nothing.
void ensureHostAppIsRunningInBackground();

// Announces a capture to the desktop application. Reports nothing.
void postCaptureNotification(std::string_view messageText);

}  // namespace qorda
