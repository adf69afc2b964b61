# Packages of the installed programs (cmake --install puts them in bin/, and on Linux the WebSocket
# module in lib/QorMacAudioCapture/): a Debian package on Linux, an archive on macOS.
#
#   cpack -G DEB     (in a build folder, on Debian)        cpack -G TGZ     (on a Mac)
set(CPACK_PACKAGE_NAME qor-native-helpers)
set(CPACK_PACKAGE_VENDOR Brinvale)
set(CPACK_PACKAGE_CONTACT "Brinvale QOR <qor@brinvale.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "QorMacAudioCapture and QorModelBridge, the native helpers of the QOR desktop application")
set(CPACK_PACKAGE_DESCRIPTION
    "QorMacAudioCapture captures what other applications play (PipeWire on Linux, Core Audio \
process taps on macOS) as 48 kHz stereo on standard output or over a WebSocket. QorModelBridge \
answers one JSON prompt with a local language model.")
set(CPACK_STRIP_FILES ON)

if(APPLE)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME macos)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  # Dependencies by Debian package name: dpkg-shlibdeps names the packages of every library the
  # programs and the module link; what they load by name at run time is added here.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  get_property(QOR_DEBIAN_RUNTIME_DEPENDS GLOBAL PROPERTY QOR_DEBIAN_RUNTIME_DEPENDS)
  list(JOIN QOR_DEBIAN_RUNTIME_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()

include(CPack)
