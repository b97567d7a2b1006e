// libFuzzer target: the stored burn configuration as a disc may carry it,
// through the reader the program uses (property_list.h under the
// configuration's rules). Any crash, leak, hang or undefined behaviour is a
// finding; so is a path that is not absolute.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "catalogue/burn_configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto paths = tessaline::readBurnConfiguration(bytes);
  if (paths) {
    for (const auto& path : paths.value())
      if (path.empty() || path.native().front() != '/' || path.native().find('\0') != std::string::npos)
        __builtin_trap();
  }
  return 0;
}
