// Apple's declarations, copied with their signatures, of the calls that
// companion_macos.mm makes and Debian's GNUstep lacks. Forced into the
// GNUstep check only (clang -include); the macOS build never sees it.
#pragma once

#import <AppKit/AppKit.h>

NS_ASSUME_NONNULL_BEGIN

@interface NSUserDefaults (QordaAppleShim)
- (nullable instancetype)initWithSuiteName:(nullable NSString*)suitename;
@end

@interface NSFileManager (QordaAppleShim)
- (nullable NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier;
@end

@interface NSWorkspaceOpenConfiguration : NSObject {
  // GNUstep's runtime has no non-fragile instance variables, so the
  // properties' storage is declared here; Apple's header shows none.
  BOOL activates, hides, createsNewApplicationInstance, addsToRecentItems, promptsUserIfNeeded;
}
@property BOOL activates, hides, createsNewApplicationInstance, addsToRecentItems, promptsUserIfNeeded;
@end

@interface NSWorkspace (QordaAppleShim)
- (nullable NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier;
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^_Nullable)(NSRunningApplication* _Nullable app,
                                                NSError* _Nullable error))completionHandler;
@end

// Core Foundation's run loop, which Foundation brings in on a Mac.
typedef const struct __CFString* CFRunLoopMode;
extern "C" const CFRunLoopMode kCFRunLoopDefaultMode;
extern "C" int32_t CFRunLoopRunInMode(CFRunLoopMode mode, double seconds,
                                      unsigned char returnAfterSourceHandled);

NS_ASSUME_NONNULL_END
