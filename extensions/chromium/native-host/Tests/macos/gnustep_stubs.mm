// Stand-ins, for the GNUstep check only, of the five calls that Debian's
// GNUstep lacks (declared in apple_api_shim.h). Where Apple's call reaches a
// system service, the stand-in does what the check can observe: the suite is
// a GNUstep defaults domain written through at once, the container and the
// application are folders named by the check's environment, and a launch is
// reported on standard output.
#import "apple_api_shim.h"

#include <Block.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

// The suite's defaults: GNUstep's user defaults with the suite as the only
// domain searched and written. Apple's store loads and persists on its own,
// GNUstep's on -synchronize, so this does it at creation and after each write.
@interface QordaSuiteDefaults : NSUserDefaults {
  NSString* _suiteName;
}
- (instancetype)initWithQordaSuiteName:(NSString*)suiteName;
@end

@implementation QordaSuiteDefaults
- (instancetype)initWithQordaSuiteName:(NSString*)suiteName {
  self = [super initWithUser:NSUserName()];
  if (self != nil) {
    _suiteName = [suiteName copy];
    [self setSearchList:[NSArray arrayWithObject:_suiteName]];
    [self synchronize];
  }
  return self;
}

- (void)dealloc {
  [_suiteName release];
  [super dealloc];
}

- (void)setObject:(id)value forKey:(NSString*)defaultName {
  NSMutableDictionary* domain = [[self persistentDomainForName:_suiteName] mutableCopy];
  if (domain == nil) domain = [[NSMutableDictionary alloc] init];
  [domain setObject:value forKey:defaultName];
  [self setPersistentDomain:domain forName:_suiteName];
  [domain release];
  [self synchronize];
}
@end

@implementation NSUserDefaults (QordaAppleShim)
- (instancetype)initWithSuiteName:(NSString*)suitename {
  [self release];
  if (suitename == nil) suitename = [[NSProcessInfo processInfo] processName];
  return [[QordaSuiteDefaults alloc] initWithQordaSuiteName:suitename];
}
@end

namespace {

// A folder named by the environment variable, or nil when it is unset.
NSURL* folderFromEnvironment(const char* variable, NSString* lastComponent) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return nil;
  NSString* path = [NSString stringWithUTF8String:value];
  if (lastComponent != nil) path = [path stringByAppendingPathComponent:lastComponent];
  return [NSURL fileURLWithPath:path isDirectory:YES];
}

std::atomic<int> completionHandlerCalls{0};

}  // namespace

// How often a launch's completion handler has run.
extern "C" int qordaCheckCompletionHandlerCalls() {
  return completionHandlerCalls.load();
}

@implementation NSFileManager (QordaAppleShim)
// The group's folder below QORDA_CHECK_GROUP_CONTAINERS, created as macOS
// does; nil when the variable is unset.
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

+ (instancetype)configuration {
  return [[[self alloc] init] autorelease];
}

// Apple's defaults: activates, shown, no new instance.
- (instancetype)init {
  self = [super init];
  if (self != nil) _activates = YES;
  return self;
}

- (id)copyWithZone:(NSZone*)zone {
  NSWorkspaceOpenConfiguration* copy = [[[self class] allocWithZone:zone] init];
  [copy setActivates:_activates];
  [copy setHides:_hides];
  [copy setCreatesNewApplicationInstance:_createsNewApplicationInstance];
  return copy;
}
@end

@implementation NSWorkspace (QordaAppleShim)
// The folder QORDA_CHECK_APPLICATION_PATH for the desktop application's
// identifier, nil for any other identifier or when it is unset.
- (NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier {
  if (![bundleIdentifier isEqualToString:@"com.velmox.qorda"]) return nil;
  return folderFromEnvironment("QORDA_CHECK_APPLICATION_PATH", nil);
}

// Reports the request, then calls the handler later on another thread, as
// the system does once the launch is over.
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^)(NSRunningApplication*, NSError*))completionHandler {
  std::printf("launch requested: %s activates=%d hides=%d createsNewApplicationInstance=%d\n",
              [[applicationURL path] UTF8String], [configuration activates] ? 1 : 0, [configuration hides] ? 1 : 0,
              [configuration createsNewApplicationInstance] ? 1 : 0);
  std::fflush(stdout);
  if (completionHandler == nil) return;
  void (^handler)(NSRunningApplication*, NSError*) = Block_copy(completionHandler);
  std::thread([handler] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    handler(nil, nil);
    Block_release(handler);
    completionHandlerCalls.fetch_add(1);
  }).detach();
}
@end
