// The GNUstep check's test program: runs its arguments as commands, in order,
// against the channels of companion_macos.mm and GNUstep's real user defaults,
// distributed notification centre and pasteboard. Commands:
//   append TEXT    the host appends TEXT to the capture inbox
//   read           prints the inbox, one element a line
//   notify TEXT    the host posts TEXT to a listener whose delivery is
//                  suspended, as for a hidden and inactive application
//   launch         the host asks for the desktop application; prints how soon
//                  it returned and how many completion handlers had started
//   wait-handler   waits up to 3 s for a completion handler to finish
//   publish TEXT, replace TEXT   the desktop application puts TEXT on the
//                  policy pasteboard, with a new change count or not
//   policy, unchanged   prints the host's snapshot text, or its verdict on it
// Below, stand-ins of the calls that Debian's GNUstep lacks (declared in
// apple_api_shim.h), each doing what the check can observe: the suite is a
// GNUstep defaults domain that is written late unless synchronized; the
// container and the application are folders named by the check's
// environment; a launch is printed, and its handler called
// QORDA_CHECK_LAUNCH_MS (default 100) ms later on another thread.
#import "apple_api_shim.h"

#include "app/companion.h"

#include <Block.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

@interface QordaCheckListener : NSObject {
 @public
  NSNotification* received;
}
@end

@implementation QordaCheckListener
- (void)receive:(NSNotification*)notification {
  if (received == nil) received = [notification retain];
}
@end

namespace {

NSURL* folderFromEnvironment(const char* variable, NSString* lastComponent) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return nil;
  NSString* path = [NSString stringWithUTF8String:value];
  if (lastComponent != nil) path = [path stringByAppendingPathComponent:lastComponent];
  return [NSURL fileURLWithPath:path isDirectory:YES];
}

// Completion handlers started, and finished.
std::atomic<int> completionHandlers[2];

// Suites with changes not yet written: Apple's store writes on its own
// time, so these are written only when synchronized, or as late as can be.
NSMutableArray* unwrittenSuites;

// A change written while the inbox lock is free can undo, or be undone by,
// the desktop application's rewrite of the list.
void reportUnlockedWrite() {
  NSURL* container = folderFromEnvironment("QORDA_CHECK_GROUP_CONTAINERS", @"group.com.velmox.qorda");
  if (container == nil) return;
  NSString* path = [[container path] stringByAppendingPathComponent:@"capture_inbox_payloads.lock"];
  int fd = ::open([path fileSystemRepresentation], O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
    std::fprintf(stderr, "store written without the inbox lock\n");
  if (fd >= 0) ::close(fd);
}

NSString* string(std::string_view text) {
  return [[[NSString alloc] initWithBytes:text.data() length:text.size()
                                 encoding:NSUTF8StringEncoding] autorelease];
}

void read() {
  NSUserDefaults* suite = [[[NSUserDefaults alloc] initWithSuiteName:string(qorda::appGroupID)] autorelease];
  id value = [suite objectForKey:string(qorda::appGroupInboxKey)];
  if (value == nil)
    std::printf("(absent)\n");
  else if (![value isKindOfClass:[NSArray class]])
    std::printf("(not a list) %s\n", [[value description] UTF8String]);
  else
    for (NSString* element in value) std::printf("%s\n", [element UTF8String]);
}

void notify(const char* text) {
  NSDistributedNotificationCenter* center = [NSDistributedNotificationCenter defaultCenter];
  QordaCheckListener* listener = [[[QordaCheckListener alloc] init] autorelease];
  [center addObserver:listener selector:@selector(receive:) name:string(qorda::notificationName) object:nil];
  [center setSuspended:YES];
  qorda::postCaptureNotification(text);
  NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:5];
  while (listener->received == nil && [deadline timeIntervalSinceNow] > 0)
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                             beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.05]];
  [center removeObserver:listener];
  NSNotification* received = [listener->received autorelease];
  if (received == nil) return (void)std::printf("no notification within 5 s\n");
  std::printf("received %s object=%s userInfo keys=%u payload=%s\n", [[received name] UTF8String],
              [received object] == nil ? "nil" : "set", static_cast<unsigned>([[received userInfo] count]),
              [[[received userInfo] objectForKey:@"payload"] UTF8String]);
}

void launch() {
  auto start = std::chrono::steady_clock::now();
  qorda::ensureHostAppIsRunningInBackground();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("returned %s, handlers started %d\n",
              took.count() < 0.4 ? "before 0.4 s"
              : took.count() < 1 ? "at 0.4 to 1 s"
                                 : "later",
              completionHandlers[false].load());
}

void policy() {
  std::optional<std::string> text = qorda::readPolicySnapshotText();
  if (!text) return (void)std::printf("(none)\n");
  bool padded = text->capacity() >= text->size() + qorda::policyTextPadding;
  std::printf("%s (padding %s)\n", text->c_str(), padded ? "reserved" : "missing");
}

}  // namespace

// GNUstep's user defaults with the suite as the only domain searched and written.
@interface QordaSuiteDefaults : NSUserDefaults
@end

@implementation QordaSuiteDefaults
- (void)setObject:(id)value forKey:(NSString*)defaultName {
  NSString* suiteName = [[self searchList] objectAtIndex:0];
  NSMutableDictionary* domain = [[self persistentDomainForName:suiteName] mutableCopy];
  if (domain == nil) domain = [[NSMutableDictionary alloc] init];
  [domain setObject:value forKey:defaultName];
  [self setPersistentDomain:domain forName:suiteName];
  [domain release];
  if (unwrittenSuites == nil) {
    unwrittenSuites = [[NSMutableArray alloc] init];
    std::atexit([] {
      @autoreleasepool {
        for (NSUserDefaults* suite in [[unwrittenSuites copy] autorelease]) [suite synchronize];
      }
    });
  }
  [unwrittenSuites addObject:self];
}

- (BOOL)synchronize {
  if ([unwrittenSuites containsObject:self]) reportUnlockedWrite();
  [unwrittenSuites removeObjectIdenticalTo:self];
  return [super synchronize];
}
@end

@implementation NSUserDefaults (QordaAppleShim)
- (instancetype)initWithSuiteName:(NSString*)suitename {
  [self release];
  QordaSuiteDefaults* suite = [[QordaSuiteDefaults alloc] initWithUser:NSUserName()];
  [suite setSearchList:[NSArray arrayWithObject:suitename]];
  [suite synchronize];
  return suite;
}
@end

@implementation NSFileManager (QordaAppleShim)
// The group's folder below QORDA_CHECK_GROUP_CONTAINERS, created as macOS does.
- (NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier {
  NSURL* container = folderFromEnvironment("QORDA_CHECK_GROUP_CONTAINERS", groupIdentifier);
  if (container != nil)
    [self createDirectoryAtPath:[container path] withIntermediateDirectories:YES attributes:nil error:NULL];
  return container;
}
@end

@implementation NSWorkspaceOpenConfiguration
@synthesize activates = _activates, hides = _hides,
            createsNewApplicationInstance = _createsNewApplicationInstance;

// Apple's defaults: activates, shown, no new instance.
- (instancetype)init {
  if ((self = [super init])) _activates = YES;
  return self;
}
@end

@implementation NSWorkspace (QordaAppleShim)
// The folder QORDA_CHECK_APPLICATION_PATH for the desktop application alone.
- (NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier {
  if (![bundleIdentifier isEqualToString:@"com.velmox.qorda"]) return nil;
  return folderFromEnvironment("QORDA_CHECK_APPLICATION_PATH", nil);
}

- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^)(NSRunningApplication*, NSError*))completionHandler {
  std::printf("launch requested: %s activates=%d hides=%d createsNewApplicationInstance=%d\n",
              [[applicationURL path] UTF8String], [configuration activates], [configuration hides],
              [configuration createsNewApplicationInstance]);
  const char* delay = std::getenv("QORDA_CHECK_LAUNCH_MS");
  auto milliseconds = std::chrono::milliseconds(delay != nullptr ? std::atoi(delay) : 100);
  void (^handler)(NSRunningApplication*, NSError*) = Block_copy(completionHandler);
  std::thread([handler, milliseconds] {
    std::this_thread::sleep_for(milliseconds);
    completionHandlers[false].fetch_add(1);
    @autoreleasepool {
      handler(nil, nil);
      Block_release(handler);
    }
    completionHandlers[true].fetch_add(1);
  }).detach();
}
@end

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i < argc; ++i) {
    @autoreleasepool {
      std::string_view command = argv[i];
      auto text = [&] { return i + 1 < argc ? argv[++i] : ""; };
      if (command == "append")
        qorda::appendToCaptureInbox(text());
      else if (command == "read")
        read();
      else if (command == "notify")
        notify(text());
      else if (command == "launch")
        launch();
      else if (command == "policy")
        policy();
      else if (command == "unchanged")
        std::printf("unchanged %s\n", qorda::isPolicySnapshotUnchanged() ? "yes" : "no");
      else if (command == "wait-handler") {
        for (int wait = 0; wait < 150 && completionHandlers[true].load() == 0; ++wait)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("handlers finished %d\n", completionHandlers[true].load());
      } else if (command == "publish" || command == "replace") {
        NSPasteboard* pasteboard = [NSPasteboard pasteboardWithName:string(qorda::policyPasteboardName)];
        if (command == "publish")
          [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
        [pasteboard setString:string(text()) forType:NSPasteboardTypeString];
      } else {
        std::fprintf(stderr, "companion_check: unknown command '%s'\n", argv[i]);
        return 2;
      }
    }
  }
  return 0;
}
