// On macOS the snapshot is the string of the named pasteboard that the host
// reads; setting it replaces the whole text at once.
#include "publish.h"

#include "app/companion.h"

#import <AppKit/AppKit.h>

namespace qorda::tools {

std::optional<std::string> publishSnapshot(std::string_view text) {
  @autoreleasepool {
    NSString* name = [[NSString alloc] initWithBytes:policyPasteboardName.data()
                                              length:policyPasteboardName.size()
                                            encoding:NSUTF8StringEncoding];
    NSString* string = [[NSString alloc] initWithBytes:text.data()
                                                length:text.size()
                                              encoding:NSUTF8StringEncoding];
    NSPasteboard* pasteboard = [NSPasteboard pasteboardWithName:name];
    bool published = string != nil && ([pasteboard clearContents],
                                       [pasteboard setString:string forType:NSPasteboardTypeString]);
#if !__has_feature(objc_arc)
    [name release];
    [string release];
#endif
    if (!published) return std::string("the pasteboard refused the snapshot (is it UTF-8?)");
    return std::nullopt;
  }
}

}  // namespace qorda::tools
