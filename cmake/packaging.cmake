# The Debian package: `cpack` in the build folder (tools/build_deb.sh does it) writes
# tolvane_<version>_<arch>.deb from the same install rules as `cmake --install`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "Tolvane developers")
set(CPACK_PACKAGE_CONTACT "Tolvane developers <dev@tolvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote-control panel for a video projector on a serial cable")
# One line per control-file line; CPack indents them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Tolvane shows the projector's hand-held remote in a window. Each of its"
    "36 keys sends the projector the command of the key of the same name, over"
    "an RS-232 serial cable on a built-in port or a USB serial adapter."
    "Check Connection asks the projector for a reply and says whether it"
    "answered; the Comm Port menu chooses the port. tolvane-send sends the"
    "same keys from scripts, cron jobs and terminals, with no display; while"
    "the panel holds the port, through the panel on the session bus.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps debug information; the package does not need it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME tolvane)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvane developers <dev@tolvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps. The keypad is laid out for the metrics of
# Liberation Sans; Arimo (fonts-croscore) has the same metrics.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2 | fonts-croscore")
# Qt's Wayland plugin is a package of its own; without it a Wayland-only desktop gets no window.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")

include(CPack)
