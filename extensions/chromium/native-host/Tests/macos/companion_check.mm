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
#import "apple_api_shim.h"

#include "app/companion.h"

#include <chrono>
#include <cstdio>
#include <thread>

extern "C" int qordaCheckCompletionHandlers(bool finished);

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

NSString* string(std::string_view text) {
  return [[[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding] autorelease];
}

void read() {
  NSUserDefaults* suite = [[[NSUserDefaults alloc] initWithSuiteName:string(qorda::appGroupID)] autorelease];
  id value = [suite objectForKey:string(qorda::appGroupInboxKey)];
  if (value == nil) std::printf("(absent)\n");
  else if (![value isKindOfClass:[NSArray class]]) std::printf("(not a list) %s\n", [[value description] UTF8String]);
  else for (NSString* element in value) std::printf("%s\n", [element UTF8String]);
}

void notify(const char* text) {
  NSDistributedNotificationCenter* center = [NSDistributedNotificationCenter defaultCenter];
  QordaCheckListener* listener = [[[QordaCheckListener alloc] init] autorelease];
  [center addObserver:listener selector:@selector(receive:) name:string(qorda::notificationName) object:nil];
  [center setSuspended:YES];
  qorda::postCaptureNotification(text);
  NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:5];
  while (listener->received == nil && [deadline timeIntervalSinceNow] > 0) {
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.05]];
  }
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
              took.count() < 0.4 ? "before 0.4 s" : took.count() < 1 ? "at 0.4 to 1 s" : "later",
              qordaCheckCompletionHandlers(false));
}

void policy() {
  std::optional<std::string> text = qorda::readPolicySnapshotText();
  if (!text) return (void)std::printf("(none)\n");
  bool padded = text->capacity() >= text->size() + qorda::policyTextPadding;
  std::printf("%s (padding %s)\n", text->c_str(), padded ? "reserved" : "missing");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i < argc; ++i) {
    @autoreleasepool {
      std::string_view command = argv[i];
      auto text = [&] { return i + 1 < argc ? argv[++i] : ""; };
      if (command == "append") qorda::appendToCaptureInbox(text());
      else if (command == "read") read();
      else if (command == "notify") notify(text());
      else if (command == "launch") launch();
      else if (command == "policy") policy();
      else if (command == "unchanged") std::printf("unchanged %s\n", qorda::isPolicySnapshotUnchanged() ? "yes" : "no");
      else if (command == "wait-handler") {
        for (int wait = 0; wait < 150 && qordaCheckCompletionHandlers(true) == 0; ++wait)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("handlers finished %d\n", qordaCheckCompletionHandlers(true));
      } else if (command == "publish" || command == "replace") {
        NSPasteboard* pasteboard = [NSPasteboard pasteboardWithName:string(qorda::policyPasteboardName)];
        if (command == "publish") [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
        [pasteboard setString:string(text()) forType:NSPasteboardTypeString];
      } else {
        std::fprintf(stderr, "companion_check: unknown command '%s'\n", argv[i]);
        return 2;
      }
    }
  }
  return 0;
}
