# Compile settings shared by every target of our own. Third-party headers are included as SYSTEM so that
# -Werror applies to our code only.

if(PELLORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # clang 14 cannot emit the function-type check for coroutine frames ("cannot represent a difference
    # across sections"); every other check stays on.
    add_compile_options(-fno-sanitize=function)
  endif()
endif()

# Every handler on the network thread can be timed and named (src/base/stall_detector.h). The hooks change the
# layout of Asio's operations, so the definition is global: every translation unit that includes Asio must see it.
if(PELLORA_STALL_DETECTOR)
  add_compile_definitions(BOOST_ASIO_CUSTOM_HANDLER_TRACKING="base/stall_tracking.h")
endif()

# Coverage builds count every line and branch that the tests run (gcov data beside each object file).
if(PELLORA_COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

# Fuzz builds instrument every library for coverage; only the fuzz targets themselves link libFuzzer's main.
if(PELLORA_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(pellora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wpedantic
    # GCC 12 misreads asio's coroutine frame allocator (its operator new/delete pair) as mismatched.
    $<$<CXX_COMPILER_ID:GNU>:-Wno-mismatched-new-delete>)
endfunction()

# pellora_library(name SOURCES ... LINKS ...): one static library per layer, headers included as
# "core/bytes.h" from the src/ folder.
function(pellora_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LINKS})
  pellora_warnings(${name})
endfunction()
