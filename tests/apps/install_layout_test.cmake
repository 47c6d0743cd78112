# Installs the build tree under a prefix other than the configured one, as CPack does for the .deb
# (/usr while CMAKE_INSTALL_PREFIX is /usr/local), and checks that what the installed files name is there:
# the relay unit's executable, the menu entry's program and its icon.
# Run as: cmake -DBUILD_DIR=... -DSTAGE_DIR=... -P install_layout_test.cmake
set(prefix /opt/pellora-layout-check)
file(REMOVE_RECURSE ${STAGE_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE_DIR}
    ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(root ${STAGE_DIR}${prefix})

function(expect_executable path what)
  if(NOT EXISTS ${STAGE_DIR}${path} OR IS_DIRECTORY ${STAGE_DIR}${path})
    message(FATAL_ERROR "${what} names ${path}, which is not installed")
  endif()
  execute_process(COMMAND test -x ${STAGE_DIR}${path} RESULT_VARIABLE not_executable)
  if(not_executable)
    message(FATAL_ERROR "${what} names ${path}, which is not executable")
  endif()
endfunction()

file(STRINGS ${root}/lib/systemd/system/pellora-relay.service exec_start REGEX "^ExecStart=")
string(REGEX REPLACE "^ExecStart=([^ ]+).*" "\\1" relay_executable "${exec_start}")
if(NOT relay_executable STREQUAL "${prefix}/bin/pellora-relay")
  message(FATAL_ERROR "the relay unit starts '${relay_executable}', not ${prefix}/bin/pellora-relay")
endif()
expect_executable(${relay_executable} "the relay unit")

file(STRINGS ${root}/share/applications/pellora.desktop exec_line REGEX "^Exec=")
string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" program "${exec_line}")
expect_executable(${prefix}/bin/${program} "the menu entry")
file(STRINGS ${root}/share/applications/pellora.desktop icon_line REGEX "^Icon=")
string(REGEX REPLACE "^Icon=" "" icon "${icon_line}")
if(NOT EXISTS ${root}/share/icons/hicolor/scalable/apps/${icon}.svg)
  message(FATAL_ERROR "the menu entry's icon '${icon}' is not installed in the hicolor theme")
endif()

file(REMOVE_RECURSE ${STAGE_DIR})
