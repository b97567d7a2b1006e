// libFuzzer target: the tree of a disc's session, read from a medium held in
// memory (the input, from block 0). Any crash, leak, hang or undefined
// behaviour is a finding; so is a tree that breaks what the unpacking relies
// on: every entry after its folder, usable names, hard links to earlier
// files, data within the disc and within the limits.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devices/iso_tree.h"

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const MediumReader read = [&](std::uint64_t offset, std::span<char> out) {
    if (offset > size || out.size() > size - offset) return false;
    std::memcpy(out.data(), data + offset, out.size());
    return true;
  };
  IsoLimits limits;
  limits.maxEntries = 20000;
  const auto tree = readIsoTree(read, size, BlockAddress{0}, limits);
  if (!tree) return 0;
  const auto& entries = tree.value().entries;
  if (entries.empty() || entries[0].kind != IsoKind::Folder || entries.size() > limits.maxEntries) __builtin_trap();
  std::uint64_t fileBytes = 0;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const IsoEntry& e = entries[i];
    if (e.parent >= i || entries[e.parent].kind != IsoKind::Folder) __builtin_trap();
    if (e.name.empty() || e.name == "." || e.name == ".." || e.name.size() > 255 ||
        e.name.find('/') != std::string::npos || e.name.find('\0') != std::string::npos)
      __builtin_trap();
    if (e.kind == IsoKind::Symlink && (e.target.empty() || e.target.size() > 4095)) __builtin_trap();
    if (e.kind != IsoKind::File) continue;
    for (const IsoExtent& x : e.extents)
      if (x.offset > size || x.length > size - x.offset) __builtin_trap();
    if (e.linkOf) {
      if (*e.linkOf >= i || entries[*e.linkOf].kind != IsoKind::File || entries[*e.linkOf].linkOf) __builtin_trap();
    } else {
      fileBytes += e.size;
    }
  }
  if (fileBytes != tree.value().dataBytes || fileBytes > size) __builtin_trap();
  return 0;
}
