#pragma once
// The mount table format of /proc/self/mounts (and /etc/fstab): one volume a
// line, fields separated by blanks (mounted-from, mount point, type,
// options, ...), with blanks, newlines and backslashes inside a field written
// as octal escapes. The system's table and the emulated writers' tables are
// read by the same parser.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/disc_recording_service.h"

namespace tessaline {

// Parses a table. Octal escapes (\040 \011 \012 \134, any \ooo up to \377)
// are decoded; empty lines and comments are passed over; a line with fewer
// than three fields is skipped.
std::vector<MountEntry> parseMountTable(std::string_view text);

// A table file's text, read to its end (a proc file reports no size); no
// value when it cannot be read.
std::optional<std::string> readMountTableText(const std::string& path);

// Reads and parses a table file (a proc file reports no size); empty when it
// cannot be read.
std::vector<MountEntry> readMountTable(const std::string& path = "/proc/self/mounts");

// One field as the table writes it: space, tab, newline and backslash as
// octal escapes.
std::string escapeMountField(std::string_view field);

// The table's line for one volume: "FROM POINT TYPE OPTIONS 0 0".
std::string mountTableLine(const MountEntry& entry, std::string_view options);

}  // namespace tessaline
