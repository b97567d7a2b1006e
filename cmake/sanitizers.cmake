# The test build: AddressSanitizer (leak detection on) and
# UndefinedBehaviorSanitizer over our code and the tests. Every executable
# carries the runtime options it needs, so a test program run by hand
# behaves as under ctest.
option(TESSALINE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(TESSALINE_SANITIZE)
  # GCC's -Wmaybe-uninitialized misfires under the sanitizers' instrumentation
  # (in <regex>, among others): the optimised build keeps the warning.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  add_link_options(-fsanitize=address,undefined)
endif()

# Adds the sanitizers' default options (and leak suppressions for the system
# libraries) to an executable of a sanitized build.
function(tessaline_sanitizer_defaults target)
  if(TESSALINE_SANITIZE)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/sanitizer_defaults.cpp)
  endif()
endfunction()
