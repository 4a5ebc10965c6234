// The fixtures are small enough to live in the header.
#include "blackbox_fixtures.h"
