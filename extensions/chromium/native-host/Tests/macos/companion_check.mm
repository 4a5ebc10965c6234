// The GNUstep check's test program: runs its arguments in order, VAR=value
// setting the environment and the rest commands, against the channels of
// companion_macos.mm and GNUstep's real user defaults and pasteboard:
//   append TEXT    the host appends TEXT to the inbox
//   notify TEXT    the host posts TEXT; prints what was posted
//   launch         the host asks for the desktop application; prints how soon
//                  it returned and how many completion handlers had started
//   wait-handler   waits up to 3 s for a completion handler to finish
//   publish TEXT   the desktop application clears the policy pasteboard and
//                  sets TEXT; publish-late sets it only after the host's next
//                  read of the pasteboard; clear only clears it
//   policy, unchanged   the host's snapshot, or its verdict on the last one read;
//                  policy-no-memory reads it with the next C++ allocation failing
// Below, stand-ins of the calls that Debian's GNUstep lacks (declared in
// apple_api_shim.h), each doing what the check can observe: the suite is a
// GNUstep defaults domain, written when synchronized; the container and the application
// are folders named by the environment; the desktop application runs while
// QORDA_CHECK_RUNNING is 1, but the list of running applications learns so
// only when the run loop turns; a launch is printed, and its handler called
// QORDA_CHECK_LAUNCH_MS ms later on another thread.
#import "apple_api_shim.h"

#include "app/companion.h"
#include "json/json_padding.h"

#include <Block.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool failNextAllocation = false, applicationListed = false;
NSData* lateText;  // set on the pasteboard at the host's next read
std::optional<qorda::SnapshotVersion> lastVersion;
std::atomic<int> handlersStarted, handlersFinished;

NSURL* folderFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? [NSURL fileURLWithPath:@(value)] : nil;
}

void policy() {
  id pool = [NSAutoreleasePool currentPool];
  qorda::PublishedSnapshot snapshot = qorda::readPolicySnapshot();
  if ([NSAutoreleasePool currentPool] != pool) std::printf("an autorelease pool left undrained\n");
  lastVersion = snapshot.version;
  if (!snapshot.text) return (void)std::printf("(none%s)\n", lastVersion ? ", with a version" : "");
  const char* end = snapshot.text->data() + snapshot.text->size();
  bool padded = snapshot.text->capacity() >= snapshot.text->size() + qorda::jsonTextPadding &&
                std::all_of(end, end + qorda::jsonTextPadding, [](char c) { return c == '\0'; });
  std::printf("%s (padding %s%s)\n", snapshot.text->c_str(), padded ? "zeroed" : "missing",
              lastVersion ? "" : ", no version");
}

}  // namespace

// The C++ allocator, made to fail on demand; Objective-C's is left alone.
void* operator new(std::size_t size) {
  if (failNextAllocation) throw(failNextAllocation = false, std::bad_alloc());
  return std::malloc(std::max<std::size_t>(size, 1));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

// Some of GNUstep's own methods are replaced below: they write no suite,
// know no application and post to the real centre.
#pragma clang diagnostic ignored "-Wobjc-protocol-method-implementation"

// GNUstep's user defaults with the suite as the only domain searched and
// written; a change is stored only when synchronized.
@implementation NSUserDefaults (QordaAppleShim)
- (instancetype)initWithSuiteName:(NSString*)suitename {
  if ((self = [self initWithUser:NSUserName()])) [self setSearchList:@[ suitename ]];
  [self synchronize];  // reads what is stored
  return self;
}

- (void)setObject:(id)value forKey:(NSString*)defaultName {
  NSString* suiteName = [[self searchList] objectAtIndex:0];
  NSMutableDictionary* domain = [[[self persistentDomainForName:suiteName] mutableCopy] autorelease];
  [domain setObject:value forKey:defaultName];
  [self setPersistentDomain:domain ? domain : @{defaultName : value} forName:suiteName];
}
@end

@implementation NSFileManager (QordaAppleShim)
// The group's folder below QORDA_CHECK_GROUP_CONTAINERS, created as macOS does.
- (NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier {
  NSURL* container =
      [folderFromEnvironment("QORDA_CHECK_GROUP_CONTAINERS") URLByAppendingPathComponent:groupIdentifier];
  [self createDirectoryAtPath:[container path] withIntermediateDirectories:YES attributes:nil error:0];
  return container;
}
@end

@implementation NSWorkspaceOpenConfiguration
@synthesize activates, hides, createsNewApplicationInstance, addsToRecentItems, promptsUserIfNeeded;

// Apple's defaults: activates, shown, no new instance, in Recent Items, may ask.
- (instancetype)init {
  if ((self = [super init])) activates = addsToRecentItems = promptsUserIfNeeded = YES;
  return self;
}
@end

const CFRunLoopMode kCFRunLoopDefaultMode = reinterpret_cast<CFRunLoopMode>(@"kCFRunLoopDefaultMode");
int32_t CFRunLoopRunInMode(CFRunLoopMode, double, unsigned char) {
  applicationListed = std::getenv("QORDA_CHECK_RUNNING")[0] == '1';
  return 1;
}

@implementation NSRunningApplication (QordaAppleShim)
+ (NSArray*)runningApplicationsWithBundleIdentifier:(NSString*)bundleIdentifier {
  return applicationListed ? @[ bundleIdentifier ] : @[];
}
@end

@implementation NSDistributedNotificationCenter (QordaCheck)
- (void)postNotificationName:(NSString*)name
                      object:(NSString*)object
                    userInfo:(NSDictionary*)info
          deliverImmediately:(BOOL)now {
  std::printf("posted %s object=%s immediately=%d keys=%u payload=%s\n", [name UTF8String],
              object ? "set" : "nil", now, static_cast<unsigned>([info count]),
              [[info objectForKey:@"payload"] UTF8String]);
}
@end

@implementation NSWorkspace (QordaAppleShim)
// The folder QORDA_CHECK_APPLICATION_PATH for the desktop application alone.
- (NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier {
  return [bundleIdentifier isEqual:@"com.velmox.qorda"]
             ? folderFromEnvironment("QORDA_CHECK_APPLICATION_PATH")
             : nil;
}

- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^)(NSRunningApplication*, NSError*))completionHandler {
  std::printf("launch requested: %s activates=%d hides=%d newInstance=%d recentItems=%d prompts=%d\n",
              [[applicationURL path] UTF8String], [configuration activates], [configuration hides],
              [configuration createsNewApplicationInstance], [configuration addsToRecentItems],
              [configuration promptsUserIfNeeded]);
  void (^handler)(NSRunningApplication*, NSError*) = Block_copy(completionHandler);
  std::thread([handler, delay = std::atoi(std::getenv("QORDA_CHECK_LAUNCH_MS"))] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    ++handlersStarted;
    handler(nil, nil);
    Block_release(handler);
    ++handlersFinished;
  }).detach();
}
@end

@implementation NSPasteboard (QordaCheck)
// Exchanged with dataForType:, so this calls GNUstep's own.
- (NSData*)qordaDataForType:(NSString*)type {
  NSData* data = [self qordaDataForType:type];
  if (lateText != nil) [self setData:[lateText autorelease] forType:type];
  lateText = nil;
  return data;
}
@end

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  method_exchangeImplementations(class_getInstanceMethod([NSPasteboard class], @selector(dataForType:)),
                                 class_getInstanceMethod([NSPasteboard class], @selector(qordaDataForType:)));
  for (int i = 1; i < argc; ++i) {
    @autoreleasepool {
      std::string_view command = argv[i];
      NSPasteboard* pasteboard = [NSPasteboard pasteboardWithName:@"com.velmox.qorda.policy"];
      // As a Mac's pasteboard holds a string: its UTF-8 bytes.
      NSData* data = [@(i + 1 < argc ? argv[i + 1] : "") dataUsingEncoding:NSUTF8StringEncoding];
      auto start = std::chrono::steady_clock::now();
      if (command.find('=') != command.npos) {
        putenv(argv[i]);
      } else if (command == "append" || command == "notify") {
        (command == "append" ? qorda::appendToCaptureInbox : qorda::postCaptureNotification)(argv[++i]);
      } else if (command == "launch") {
        qorda::ensureHostAppIsRunningInBackground();
        auto took = std::chrono::steady_clock::now() - start;
        const char* when[] = {"before 0.4 s", "at 0.4 to 1 s", "later"};
        std::printf("returned %s, handlers started %d\n", when[(took >= 400ms) + (took >= 1s)],
                    handlersStarted.load());
      } else if (command == "wait-handler") {
        while (handlersFinished == 0 && std::chrono::steady_clock::now() - start < 3s)
          std::this_thread::sleep_for(20ms);
        std::printf("handlers finished %d\n", handlersFinished.load());
      } else if (command == "publish" || command == "publish-late" || command == "clear") {
        [pasteboard declareTypes:@[ NSPasteboardTypeString ] owner:nil];
        if (command == "publish") [pasteboard setData:data forType:NSPasteboardTypeString];
        if (command == "publish-late") lateText = [data retain];
        i += command != "clear";
      } else if (command == "policy" || command == "policy-no-memory") {
        failNextAllocation = command == "policy-no-memory";
        policy();
      } else if (command == "unchanged") {
        const char* verdicts[] = {"(no version)", "no", "yes"};
        std::printf("unchanged %s\n",
                    verdicts[lastVersion ? 1 + qorda::isPolicySnapshotUnchanged(*lastVersion) : 0]);
      } else {
        return std::fprintf(stderr, "companion_check: unknown command '%s'\n", argv[i]), 2;
      }
    }
  }
  return 0;
}
