# The Debian package of what install.cmake installs, built by tools/package.sh
# (cpack -G DEB): Depends from the programs' shared libraries (dpkg-shlibdeps)
# plus Qt's audio plugins, which are loaded at run time; maintainer scripts
# that make udev read the rule at once.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qv01)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QV01 host software developers")
set(CPACK_PACKAGE_CONTACT "QV01 host software developers <qv01@vantrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host software of the QV01 FM receiver evaluation board")
# The long description: CPack puts the summary in front as the synopsis and
# indents the lines; an empty line becomes the paragraph separator.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Programs for the QV01 evaluation board, a four-channel digital down-converter
chip behind an FX2 USB controller (04b4:8613): qv01_fm, an FM radio with
spectrum and filter panels (Qt), the classic program tunerdesk, and qvconf,
which checks a chip configuration file. A virtual board (qv-virtual-board)
stands in for the hardware with a model of the chip and of an FM broadcast
band, so that the programs play FM audio without a board.

The launch scripts qv01-fm and tunerdesk-run prepare a working directory
under ~/.local/share/qv01/ and start the programs in it. A real board needs
its maker's FX2 firmware, which is not part of this package; the udev rule
lets the logged-in user open the board.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QV_DEB_RELEASE})  # install.cmake, with the changelog
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5multimedia5-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
