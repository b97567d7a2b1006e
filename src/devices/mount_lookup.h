#pragma once
// Where the disc in a writer is mounted, and whether it carries an ISO 9660
// volume (the only kind of disc that takes a further session). The mounted
// volumes come from /proc/self/mounts, then from the service's own mount
// table; the caller passes them in, in that order (see mount_table.h).

#include <optional>
#include <string>
#include <vector>

#include "devices/disc_recording_service.h"

namespace tessaline {

// The device node a writer's medium is mounted from: "/dev/" + the BSD name,
// or the fallback when the BSD name is empty. No name at all names no device.
std::optional<std::string> devicePathFor(const std::string& bsdName, const std::string& fallback);

// Whether a volume's mounted-from name belongs to the device: it begins with
// the device path, and what follows (a slice or partition) does not go on
// with a digit, so /dev/sr1 does not claim /dev/sr10.
bool isMountedFromDevice(const std::string& mountedFrom, const std::string& devicePath);

// The mount point of the first volume (in list order) mounted from the
// writer's device; no value when none is, or when both names are empty.
std::optional<std::string> mountPathForFallbackBsdName(const std::string& bsdName, const std::string& fallback,
                                                       const std::vector<MountEntry>& mounts);

// True when some volume mounted from the writer's device is ISO 9660 (type
// "iso9660", or "cd9660" as other systems call it); a volume of another type
// does not end the search. False when both names are empty.
bool mediaTessalineCompliant(const std::string& bsdName, const std::string& fallback,
                             const std::vector<MountEntry>& mounts);

}  // namespace tessaline
