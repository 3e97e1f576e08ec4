# What `cmake --install` puts where, for any prefix and with DESTDIR:
#   bin/                          qv01_fm, tunerdesk, qvconf, qv-virtual-board and the
#                                 launch scripts qv01-fm and tunerdesk-run
#   LIBDIR/qv01/                  libqv_virtual_board.so (preloaded by qv-virtual-board)
#   share/qv01/fw/proto.hex       the prototype image (serves the virtual board only)
#   share/qv01/config/            FM_radio.ini of qv01_fm and its channel and coefficient files
#   share/qv01/tunerdesk/         tunerdesk's 40 MHz set and the virtual board's 40 MHz scene
#   share/qv01/scenes/            the virtual board's default scene, written out
#   lib/udev/rules.d/60-qv01.rules  the logged-in user may open 04b4:8613
#   share/applications/, share/icons/hicolor/  desktop entries and icons (SVG, PNG)
#   share/man/man1/               a man page per program (the launch scripts' are links)
#   share/doc/qv01/               README, copyright, changelog
# The benchmarks only with -DQV_INSTALL_BENCH=ON. Programs of other folders
# install themselves with qv_install_program() (CMakeLists.txt here).
#
# `cmake --install` builds nothing: build first, everything or just what is
# installed, `cmake --build DIR --target qv_installed` (tools/package.sh does).

set(QV_PKG_SRC ${PROJECT_SOURCE_DIR}/packaging)
set(QV_PKG_BIN ${PROJECT_BINARY_DIR}/packaging)
set(QV_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/qv01)

# Programs and the virtual board.
qv_install_program(qvconf MAN_PAGE ${QV_PKG_SRC}/man/qvconf.1)
qv_install_program(qv-virtual-board MAN_PAGE ${QV_PKG_SRC}/man/qv-virtual-board.1)
install(TARGETS qv_virtual_board LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/qv01)
add_dependencies(qv_installed qv_virtual_board)
# The programs with a window, each with a launch script (man page alias).
set(qv_gui_programs)
if(TARGET qv01_fm)
  qv_install_program(qv01_fm MAN_PAGE ${QV_PKG_SRC}/man/qv01_fm.1 MAN_ALIASES qv01-fm)
  list(APPEND qv_gui_programs "qv01_fm:qv01-fm")
endif()
if(TARGET tunerdesk)
  qv_install_program(tunerdesk MAN_PAGE ${QV_PKG_SRC}/man/tunerdesk.1 MAN_ALIASES tunerdesk-run)
  list(APPEND qv_gui_programs "tunerdesk:tunerdesk-run")
endif()

if(QV_INSTALL_BENCH)
  set(qv_benchmarks qv-chip-bench vboard-stream-bench qv-board-demo)
  if(TARGET dsp_bench)
    list(APPEND qv_benchmarks dsp_bench)
  endif()
  # vboard-stream-bench links the virtual board library in its private folder.
  file(RELATIVE_PATH qv_lib_from_bin /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR}/qv01)
  set_target_properties(vboard-stream-bench PROPERTIES INSTALL_RPATH "$ORIGIN/${qv_lib_from_bin}")
  install(TARGETS ${qv_benchmarks} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  add_dependencies(qv_installed ${qv_benchmarks})
endif()

# Data: the working directories' files, copied from the source tree.
install(FILES ${PROJECT_SOURCE_DIR}/fw/proto.hex DESTINATION ${QV_INSTALL_DATADIR}/fw)
# FM_radio.ini and the section and coefficient files it names, by name (a
# file added to the folder is installed when it is listed here).
set(qv_fm_radio_files FM_radio.ini fm_channel.ini idle_channel.ini lcfg_off.ini dfir1.txt dfir2.txt
    dfir_unit.txt)
list(TRANSFORM qv_fm_radio_files PREPEND ${PROJECT_SOURCE_DIR}/config/ OUTPUT_VARIABLE qv_files)
install(FILES ${qv_files} DESTINATION ${QV_INSTALL_DATADIR}/config)
# tunerdesk's 40 MHz set: the same names, and the virtual board's scene.
list(TRANSFORM qv_fm_radio_files PREPEND ${PROJECT_SOURCE_DIR}/run/tunerdesk/ OUTPUT_VARIABLE qv_files)
install(FILES ${qv_files} ${PROJECT_SOURCE_DIR}/run/tunerdesk/scene_40mhz.ini
        DESTINATION ${QV_INSTALL_DATADIR}/tunerdesk)
install(FILES ${PROJECT_SOURCE_DIR}/virtual_board/model/scenes/default_scene.ini
        DESTINATION ${QV_INSTALL_DATADIR}/scenes)

# udev reads lib/udev/rules.d under /usr and /usr/local; other prefixes need
# the rule copied to /etc/udev/rules.d (README).
install(FILES ${QV_PKG_SRC}/udev/60-qv01.rules DESTINATION lib/udev/rules.d)

# Documentation; the changelog, with the project's version and the package's
# revision (cpack.cmake), compressed as Debian wants it.
set(QV_DEB_RELEASE 1)
configure_file(${QV_PKG_SRC}/deb/changelog.in ${QV_PKG_BIN}/changelog @ONLY)
add_custom_command(OUTPUT ${QV_PKG_BIN}/changelog.Debian.gz
  COMMAND gzip -9n -c ${QV_PKG_BIN}/changelog > ${QV_PKG_BIN}/changelog.Debian.gz
  DEPENDS ${QV_PKG_BIN}/changelog VERBATIM)
add_custom_target(qv_changelog ALL DEPENDS ${QV_PKG_BIN}/changelog.Debian.gz)
add_dependencies(qv_installed qv_changelog)
install(FILES ${QV_PKG_SRC}/deb/copyright ${QV_PKG_BIN}/changelog.Debian.gz
        ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${QV_DOCDIR})

# The programs with a window: launch scripts, desktop entries, icons.
if(qv_gui_programs)
  find_program(QV_RSVG_CONVERT rsvg-convert REQUIRED)  # librsvg2-bin
  # The launch scripts find the data relative to themselves, so that an
  # installation moved as a whole (DESTDIR) still works.
  file(RELATIVE_PATH QV_DATA_FROM_BIN /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${QV_INSTALL_DATADIR})
  set(qv_icon_sizes 16 22 24 32 48 64 128 256)
  set(qv_icon_outputs)
  foreach(pair ${qv_gui_programs})
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 QV_PROGRAM)
    list(GET pair 1 QV_SCRIPT)
    configure_file(${QV_PKG_SRC}/launch.in ${QV_PKG_BIN}/bin/${QV_SCRIPT} @ONLY)
    install(PROGRAMS ${QV_PKG_BIN}/bin/${QV_SCRIPT} DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${QV_PKG_SRC}/desktop/${QV_SCRIPT}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${QV_PKG_SRC}/icons/${QV_SCRIPT}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    foreach(size ${qv_icon_sizes})
      set(png ${QV_PKG_BIN}/icons/${size}x${size}/${QV_SCRIPT}.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_PKG_BIN}/icons/${size}x${size}
        COMMAND ${QV_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${QV_PKG_SRC}/icons/${QV_SCRIPT}.svg
        DEPENDS ${QV_PKG_SRC}/icons/${QV_SCRIPT}.svg VERBATIM)
      list(APPEND qv_icon_outputs ${png})
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
  endforeach()
  add_custom_target(qv_icons ALL DEPENDS ${qv_icon_outputs})
  add_dependencies(qv_installed qv_icons)
endif()

add_subdirectory(${QV_PKG_SRC}/tests ${QV_PKG_BIN}/tests)
