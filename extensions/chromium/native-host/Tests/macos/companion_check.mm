// The GNUstep check's test program: runs the channels of companion_macos.mm
// against GNUstep's real user defaults and distributed notification centre.
//
//   companion_check append TEXT...   appends each TEXT to the capture inbox
//   companion_check set-string TEXT  stores TEXT, a plain string, as the inbox
//   companion_check read             prints the inbox, one element a line
//   companion_check notify TEXT      posts the capture notification and
//                                    prints it as a listener receives it
//   companion_check launch           asks for the desktop application
//   companion_check publish TEXT     puts TEXT on the policy pasteboard, as
//                                    the desktop application does
//   companion_check policy           prints the policy snapshot text
#import "apple_api_shim.h"

#include "app/companion.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

extern "C" int qordaCheckCompletionHandlerCalls();

@interface QordaCheckListener : NSObject {
 @public
  NSNotification* received;
}
- (void)receive:(NSNotification*)notification;
@end

@implementation QordaCheckListener
- (void)receive:(NSNotification*)notification {
  if (received == nil) received = [notification retain];
}
- (void)dealloc {
  [received release];
  [super dealloc];
}
@end

namespace {

NSString* string(std::string_view text) {
  return [[[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding] autorelease];
}

NSUserDefaults* suite() {
  return [[[NSUserDefaults alloc] initWithSuiteName:string(qorda::appGroupID)] autorelease];
}

int read() {
  id value = [suite() objectForKey:string(qorda::appGroupInboxKey)];
  if (value == nil) {
    std::printf("(absent)\n");
    return 0;
  }
  if (![value isKindOfClass:[NSArray class]]) {
    std::printf("(not a list) %s\n", [[value description] UTF8String]);
    return 0;
  }
  for (id element in value) std::printf("%s\n", [[element description] UTF8String]);
  return 0;
}

int notify(const char* text) {
  NSDistributedNotificationCenter* center = [NSDistributedNotificationCenter defaultCenter];
  QordaCheckListener* listener = [[[QordaCheckListener alloc] init] autorelease];
  [center addObserver:listener selector:@selector(receive:) name:string(qorda::notificationName) object:nil];
  qorda::postCaptureNotification(text);
  NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:20];
  while (listener->received == nil && [deadline timeIntervalSinceNow] > 0) {
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                             beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.1]];
  }
  [center removeObserver:listener];
  NSNotification* received = listener->received;
  if (received == nil) {
    std::printf("no notification within 20 s\n");
    return 1;
  }
  NSDictionary* userInfo = [received userInfo];
  std::printf("received %s object=%s userInfo keys=%u payload=%s\n", [[received name] UTF8String],
              [received object] == nil ? "nil" : [[[received object] description] UTF8String],
              static_cast<unsigned>([userInfo count]), [[[userInfo objectForKey:@"payload"] description] UTF8String]);
  return 0;
}

int launch() {
  qorda::ensureHostAppIsRunningInBackground();
  std::printf("launcher returned; completion handler calls so far: %d\n", qordaCheckCompletionHandlerCalls());
  for (int wait = 0; wait < 50 && qordaCheckCompletionHandlerCalls() == 0; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::printf("completion handler calls after 1 s: %d\n", qordaCheckCompletionHandlerCalls());
  return 0;
}

int publish(const char* text) {
  NSPasteboard* pasteboard = [NSPasteboard pasteboardWithName:string(qorda::policyPasteboardName)];
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  return [pasteboard setString:[NSString stringWithUTF8String:text] forType:NSPasteboardTypeString] ? 0 : 1;
}

int policy() {
  std::optional<std::string> text = qorda::readPolicySnapshotText();
  if (!text) {
    std::printf("(none)\n");
    return 0;
  }
  bool padded = text->capacity() >= text->size() + qorda::policyTextPadding;
  std::printf("%s\n%zu bytes, padding %s\n", text->c_str(), text->size(), padded ? "reserved" : "missing");
  return padded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  @autoreleasepool {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "append") == 0) {
      for (int i = 2; i < argc; ++i) qorda::appendToCaptureInbox(argv[i]);
      return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "set-string") == 0) {
      [suite() setObject:string(argv[2]) forKey:string(qorda::appGroupInboxKey)];
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "read") == 0) return read();
    if (argc == 3 && std::strcmp(argv[1], "notify") == 0) return notify(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "launch") == 0) return launch();
    if (argc == 3 && std::strcmp(argv[1], "publish") == 0) return publish(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "policy") == 0) return policy();
    std::fprintf(stderr,
                 "usage: companion_check append TEXT... | set-string TEXT | read | notify TEXT | launch"
                 " | publish TEXT | policy\n");
    return 2;
  }
}
