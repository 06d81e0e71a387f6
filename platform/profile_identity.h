// What a new file must take on from the old before it may replace it: owner, mode, attributes.
#pragma once

#include <sys/stat.h>

namespace platform {

// Makes the new file `to` what the old file `from` (whose status is `original`) is to a reader or
// an access check. False when any of it cannot be carried: then `to` must not be published.
bool CarryIdentity(int from, const struct stat& original, int to);

}  // namespace platform
