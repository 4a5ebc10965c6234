// GNUstep's headers include this when the compiler has blocks, but Debian's
// GCC Objective-C runtime ships none: the blocks runtime's own header serves.
#pragma once
#include <Block.h>
