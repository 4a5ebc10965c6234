// Stand-ins, for the GNUstep check only, of the calls that Debian's GNUstep
// lacks (declared in apple_api_shim.h). Each does what the check can observe:
// the suite is a GNUstep defaults domain that is written late unless
// synchronized; the container and the application are folders named by the
// check's environment; a launch is printed, and its handler called
// QORDA_CHECK_LAUNCH_MS (default 100) ms later on another thread.
#import "apple_api_shim.h"

#include <Block.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

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
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) std::fprintf(stderr, "store written without the inbox lock\n");
  if (fd >= 0) ::close(fd);
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

extern "C" int qordaCheckCompletionHandlers(bool finished) {
  return completionHandlers[finished].load();
}

@implementation NSFileManager (QordaAppleShim)
// The group's folder below QORDA_CHECK_GROUP_CONTAINERS, created as macOS does.
- (NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier {
  NSURL* container = folderFromEnvironment("QORDA_CHECK_GROUP_CONTAINERS", groupIdentifier);
  if (container != nil) {
    [self createDirectoryAtPath:[container path] withIntermediateDirectories:YES attributes:nil error:NULL];
  }
  return container;
}
@end

@implementation NSWorkspaceOpenConfiguration
@synthesize activates = _activates;
@synthesize hides = _hides;
@synthesize createsNewApplicationInstance = _createsNewApplicationInstance;

// Apple's defaults: activates, shown, no new instance.
- (instancetype)init {
  self = [super init];
  _activates = YES;
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
