// The host's channels to the desktop application on macOS: the named
// pasteboard, the application group's user defaults, the distributed
// notification centre and the workspace's application launch. Correct with
// and without ARC; the build compiles it without. The host runs no run loop
// (but for one turn before it asks what runs), so every call drains its own
// autorelease pool.
#include "companion.h"

#include "json/json_padding.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace qorda {
namespace {

// As long as the Linux inbox waits for its database lock: a holder that keeps
// the lock longer than this costs the capture its inbox entry, not the reply.
constexpr int inboxLockTimeoutMilliseconds = 5000;

// As long as the Linux launcher waits for its bus calls.
constexpr std::chrono::milliseconds launchWait{500};

// The lock file in the application group's container that serialises the
// inbox's read, append and store; the desktop application takes the same lock
// when it rewrites the list.
constexpr const char* inboxLockFileName = "capture_inbox_payloads.lock";

NSString* decodedString(std::string_view text) {
  NSString* string = [[NSString alloc] initWithBytes:text.data()
                                              length:text.size()
                                            encoding:NSUTF8StringEncoding];
#if !__has_feature(objc_arc)
  [string autorelease];
#endif
  return string;
}

// An autoreleased string with the UTF-8 text, a leading byte order mark
// included, or nil if the text is not UTF-8 or memory ran out.
NSString* stringFrom(std::string_view text) {
  if (!text.starts_with("\xEF\xBB\xBF")) return decodedString(text);
  // Foundation drops a leading byte order mark, but not one behind a guard
  // character that is cut off afterwards. The copy may fail: no exception
  // may leave the caller's autorelease pool undrained.
  try {
    std::string guarded = "-";
    guarded += text;
    return [decodedString(guarded) substringFromIndex:1];
  } catch (...) {
    return nil;
  }
}

void sleepMilliseconds(long milliseconds) {
  timespec interval{0, milliseconds * 1'000'000L};
  while (::nanosleep(&interval, &interval) != 0 && errno == EINTR) {
  }
}

// Whether a launch request's completion handler has run.
struct LaunchCompletion {
  std::mutex mutex;
  std::condition_variable completed;
  bool done = false;
};

// An exclusive flock on the inbox's lock file, held for the object's life.
struct InboxLock {
  enum class State { held, noLockFile, timedOut };
  int fd = -1;
  State state = State::noLockFile;

  InboxLock() {
    NSURL* container = [[NSFileManager defaultManager]
        containerURLForSecurityApplicationGroupIdentifier:stringFrom(appGroupID)];
    NSString* directory = [container path];
    if (directory == nil) return;
    NSString* path = [directory stringByAppendingPathComponent:stringFrom(inboxLockFileName)];
    fd =
        ::open([path fileSystemRepresentation], O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return;
    // Polled rather than blocking, so that a holder that never lets go
    // cannot hold the reply back for longer than the timeout.
    long waited = 0;
    long step = 1;
    for (;;) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        state = State::held;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        ::close(fd);
        fd = -1;
        return;
      }
      if (waited >= inboxLockTimeoutMilliseconds) {
        state = State::timedOut;
        return;
      }
      sleepMilliseconds(step);
      waited += step;
      step = step < 32 ? step * 2 : step;
    }
  }
  ~InboxLock() {
    // Closing the descriptor releases the lock.
    if (fd >= 0) ::close(fd);
  }
  InboxLock(const InboxLock&) = delete;
  InboxLock& operator=(const InboxLock&) = delete;
};

// The read, append and store of the inbox list. A value that is absent or not
// a list of strings gives way to a one-element list.
void appendToInbox(NSString* text) {
  NSUserDefaults* defaults = [[NSUserDefaults alloc] initWithSuiteName:stringFrom(appGroupID)];
  if (defaults == nil) return;
  NSString* key = stringFrom(appGroupInboxKey);
  NSArray* current = [defaults stringArrayForKey:key];
  NSArray* updated = current != nil ? [current arrayByAddingObject:text] : [NSArray arrayWithObject:text];
  [defaults setObject:updated forKey:key];
  // The store writes on its own time; the next holder of the lock must read
  // this list, so it is flushed before the lock is let go.
  [defaults synchronize];
#if !__has_feature(objc_arc)
  [defaults release];
#endif
}

}  // namespace

PublishedSnapshot readPolicySnapshot() {
  @autoreleasepool {
    // A failed allocation is caught here, inside the pool, which therefore
    // drains as usual: the host has no outer pool to take what it leaves.
    try {
      NSPasteboard* pasteboard = [NSPasteboard pasteboardWithName:stringFrom(policyPasteboardName)];
      // Publishing clears the pasteboard and then sets the text: a read that
      // falls between the two finds nothing, and is made once more.
      for (int attempt = 0; attempt < 2; ++attempt) {
        // Taken before the read: a publish during the read then shows as a
        // new count at the next message.
        const long changeCount = [pasteboard changeCount];
        NSData* data = [pasteboard dataForType:NSPasteboardTypeString];
        const std::size_t length = [data length];
        if (length == 0) continue;
        // As on Linux, a larger snapshot is no policy.
        if (length > largestPolicySnapshot) return {};
        std::string text(length + jsonTextPadding, '\0');
        [data getBytes:text.data() length:length];
        text.resize(length);
        return {std::move(text), SnapshotVersion{.changeCount = changeCount}};
      }
    } catch (...) {
    }
    // Nothing proves a version: the count stays the same when the text is
    // set after the clear, so an empty read is never kept.
    return {};
  }
}

bool isPolicySnapshotUnchanged(const SnapshotVersion& version) {
  @autoreleasepool {
    return [[NSPasteboard pasteboardWithName:stringFrom(policyPasteboardName)] changeCount] ==
           version.changeCount;
  }
}

void appendToCaptureInbox(std::string_view messageText) {
  @autoreleasepool {
    NSString* text = stringFrom(messageText);
    if (text == nil) return;
    InboxLock lock;
    // Without a lock file the lock protects no one, and the append goes on
    // unlocked rather than losing the capture; a lock that stays taken means another
    // process is in the middle of rewriting the list, and storing now would
    // undo its change or lose this one, so the entry is dropped (the
    // notification still carries it).
    if (lock.state == InboxLock::State::timedOut) return;
    appendToInbox(text);
  }
}

void ensureHostAppIsRunningInBackground() {
  @autoreleasepool {
    NSString* bundleIdentifier = stringFrom(hostAppBundleID);
    // The list of running applications is brought up to date only while the
    // main run loop runs, which the host never does otherwise: one turn,
    // without waiting, makes the answer current for a long-lived host.
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true);
    if ([[NSRunningApplication runningApplicationsWithBundleIdentifier:bundleIdentifier] count] > 0) return;
    NSWorkspace* workspace = [NSWorkspace sharedWorkspace];
    NSURL* applicationURL = [workspace URLForApplicationWithBundleIdentifier:bundleIdentifier];
    if (applicationURL == nil) return;
    NSWorkspaceOpenConfiguration* configuration = [[NSWorkspaceOpenConfiguration alloc] init];
    [configuration setActivates:NO];
    [configuration setHides:YES];
    [configuration setCreatesNewApplicationInstance:NO];
    // A background start is no user's doing: no Recent Items entry, no alert.
    [configuration setAddsToRecentItems:NO];
    [configuration setPromptsUserIfNeeded:NO];
    // A host that exits at once could take the launch request with it, so it
    // waits for the handler, for a bounded time. The handler may come later:
    // the block's copy holds its own share of the completion.
    auto completion = std::make_shared<LaunchCompletion>();
    [workspace openApplicationAtURL:applicationURL
                      configuration:configuration
                  completionHandler:^(NSRunningApplication*, NSError*) {
                    std::lock_guard<std::mutex> lock(completion->mutex);
                    completion->done = true;
                    completion->completed.notify_all();
                  }];
    std::unique_lock<std::mutex> lock(completion->mutex);
    completion->completed.wait_for(lock, launchWait, [&] { return completion->done; });
#if !__has_feature(objc_arc)
    [configuration release];
#endif
  }
}

void postCaptureNotification(std::string_view messageText) {
  @autoreleasepool {
    NSString* text = stringFrom(messageText);
    if (text == nil) return;
    NSDictionary* userInfo = [NSDictionary dictionaryWithObject:text forKey:@"payload"];
    // At once, also to an application that is hidden and not active, as the
    // launcher starts it.
    [[NSDistributedNotificationCenter defaultCenter] postNotificationName:stringFrom(notificationName)
                                                                   object:nil
                                                                 userInfo:userInfo
                                                       deliverImmediately:YES];
  }
}

}  // namespace qorda
