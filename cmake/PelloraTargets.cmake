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

# Fuzz builds instrument every library for coverage; only the fuzz targets themselves link libFuzzer's main.
if(PELLORA_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(pellora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wpedantic)
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
