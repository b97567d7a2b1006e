# The test build: AddressSanitizer (leak detection on) and
# UndefinedBehaviorSanitizer over our code and the tests. Every executable
# carries the runtime options it needs, so a test program run by hand
# behaves as under ctest.
option(TESSALINE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

set(TESSALINE_SANITIZER_COMPILE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
set(TESSALINE_SANITIZER_LINK_FLAGS -fsanitize=address,undefined)
if(TESSALINE_SANITIZE)
  add_compile_options(${TESSALINE_SANITIZER_COMPILE_FLAGS})
  add_link_options(${TESSALINE_SANITIZER_LINK_FLAGS})
  # GCC's -Wmaybe-uninitialized misfires under the sanitizers' instrumentation
  # (in <regex>, among others): the optimised build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# Adds the sanitizers' default options (and leak suppressions for the system
# libraries) to an executable of a sanitized build.
function(tessaline_sanitizer_defaults target)
  if(TESSALINE_SANITIZE)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/sanitizer_defaults.cpp)
  endif()
endfunction()

# Builds a target without the sanitizers: a library preloaded into programs
# that were built without them (the runtime must come first in a process).
function(tessaline_without_sanitizers target)
  if(TESSALINE_SANITIZE)
    foreach(property COMPILE_OPTIONS LINK_OPTIONS)
      get_target_property(options ${target} ${property})
      if(options)
        list(REMOVE_ITEM options ${TESSALINE_SANITIZER_COMPILE_FLAGS} ${TESSALINE_SANITIZER_LINK_FLAGS})
        set_target_properties(${target} PROPERTIES ${property} "${options}")
      endif()
    endforeach()
  endif()
endfunction()
