// Apple's declarations, copied with their signatures, of the calls that
// companion_macos.mm makes and Debian's GNUstep lacks. Forced into the
// GNUstep check only (clang -include); the macOS build never sees it.
#pragma once

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

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
  BOOL _activates, _hides, _createsNewApplicationInstance;
}
@property BOOL activates;
@property BOOL hides;
@property BOOL createsNewApplicationInstance;
@end

@interface NSWorkspace (QordaAppleShim)
- (nullable NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier;
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^_Nullable)(NSRunningApplication* _Nullable app,
                                                NSError* _Nullable error))completionHandler;
@end

NS_ASSUME_NONNULL_END
