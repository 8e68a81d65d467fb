# Installing wsy the way Debian programs are installed, and the Debian package.
#
#   cmake --install build/release --prefix /usr/local     # or DESTDIR=... for a staging tree
#   cd build/release && cpack -G DEB                       # wsy_<version>_<arch>.deb
#
# Nothing installed refers to the build or source tree: the programs find
# share/wsy from their own folder (see src/patch/patch_location.cc).
include(GNUInstallDirs)

set(WSY_DATA_DESTINATION ${CMAKE_INSTALL_DATADIR}/wsy)

install(TARGETS wsy-render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET wsy)
  install(TARGETS wsy RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES packaging/wsy.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES packaging/wsy.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

install(FILES RODUV_2.WSY DESTINATION ${WSY_DATA_DESTINATION})
file(GLOB WSY_EXAMPLE_PATCHES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/patches/*.wsy)
install(FILES ${WSY_EXAMPLE_PATCHES} DESTINATION ${WSY_DATA_DESTINATION}/patches)

# Hardened as Debian builds its programs (dpkg-buildflags): checked string and
# memory calls, and every symbol bound at start so the relocations can be made
# read-only. Neither changes any arithmetic. Not under the sanitizers, which
# replace those calls themselves, nor without optimisation, which fortify needs.
if(NOT WSY_SANITIZE)
  foreach(target wsy_synth wsy_patch wsy_midi wsy_engine wsy_session wsy_devices wsy_window wsy_app wsy wsy-render
                 wsy_plugin_objects)
    if(TARGET ${target})
      target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    endif()
  endforeach()
endif()
foreach(program wsy wsy-render)
  if(TARGET ${program})
    target_link_options(${program} PRIVATE -Wl,-z,relro -Wl,-z,now)
  endif()
endforeach()

# Compressed as Debian compresses them: gzip -9, no name or time stamp inside,
# so two builds of the same sources give the same bytes.
find_program(WSY_GZIP gzip REQUIRED)
function(wsy_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${WSY_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
endfunction()

# Manual pages, written in scdoc (docs/man/) and turned into roff at build time.
set(WSY_MANUAL_PAGES wsy.1 wsy-render.1 wsy-patch.5)
find_program(WSY_SCDOC scdoc)
set(WSY_MANUAL_DIR ${CMAKE_BINARY_DIR}/man)
set(WSY_BUILT_DOCS)
if(WSY_SCDOC)
  file(MAKE_DIRECTORY ${WSY_MANUAL_DIR})
  foreach(page ${WSY_MANUAL_PAGES})
    string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
    add_custom_command(OUTPUT ${WSY_MANUAL_DIR}/${page}
      COMMAND ${WSY_SCDOC} < ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd > ${WSY_MANUAL_DIR}/${page}
      DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}.scd
      COMMENT "Manual page ${page}" VERBATIM)
    wsy_gzip(${WSY_MANUAL_DIR}/${page} ${WSY_MANUAL_DIR}/${page}.gz)
    list(APPEND WSY_BUILT_DOCS ${WSY_MANUAL_DIR}/${page} ${WSY_MANUAL_DIR}/${page}.gz)
    install(FILES ${WSY_MANUAL_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
else()
  message(WARNING "scdoc not found: the manual pages are not built (scripts/setup installs it)")
endif()

# share/doc/wsy: the README, the changelog and the copyright file.
wsy_gzip(${CMAKE_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
list(APPEND WSY_BUILT_DOCS ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_target(wsy_docs ALL DEPENDS ${WSY_BUILT_DOCS})
install(FILES README.md packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package, from the same install rules: cpack -G DEB.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wsy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The wsy developers")
# MIT (Debian's name for it: Expat); packaging/copyright says so in Debian's
# machine-readable format and goes to share/doc/wsy/copyright.
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(WSY_MAINTAINER "wsy maintainers <maintainers@users.noreply.c-seed-f22c2e33.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${WSY_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WSY_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small real-time software synthesizer driven by text patches")
# CPack puts the summary first, as the synopsis line.
set(WSY_PLUGIN_DESCRIPTION "")
if(TARGET wsy_lv2)
  set(WSY_PLUGIN_DESCRIPTION "
.
The same engine is also an LV2 instrument plugin (urn:wsy:synth, in
/usr/lib/lv2/wsy.lv2) for LV2 hosts such as Ardour, Carla or jalv: MIDI in,
stereo out, the patch file a parameter saved with the session.")
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "wsy reads a plain-text patch that names oscillators, envelopes and mixers
and how the oscillators modulate each other (amplitude, frequency, phase),
then plays it: notes on six letter keys in a small window, and random notes
by itself whenever a note has run out. It plays through ALSA, OSS or JACK.
.
wsy-render plays the same patches through the same engine into WAV files,
sample for sample, from a script of key events.${WSY_PLUGIN_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES /build/ /\\.git/)
include(CPack)
