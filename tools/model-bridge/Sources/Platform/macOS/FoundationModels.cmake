# The bridge's macOS backend: the system's on-device model through FoundationModels. A short Swift
# unit exposes C functions (FoundationModelsShim.h) and a C++ adapter implements the bridge's model
# interface over them, so the C++ core never sees Swift. Included from the bridge's CMakeLists:
# Swift must be enabled in the directory of the executable that links it. Sets QOR_BRIDGE_BACKEND.

# Image attachments first appear in the macOS 27 SDK; stop here, clearly, with an older one.
if(CMAKE_OSX_SYSROOT)
  set(QOR_MACOS_SDK ${CMAKE_OSX_SYSROOT})
else()
  set(QOR_MACOS_SDK macosx)
endif()
execute_process(
  COMMAND xcrun --sdk ${QOR_MACOS_SDK} --show-sdk-version
  OUTPUT_VARIABLE QOR_MACOS_SDK_VERSION
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE QOR_XCRUN_RESULT
  ERROR_QUIET)
if(NOT QOR_XCRUN_RESULT EQUAL 0 OR QOR_MACOS_SDK_VERSION STREQUAL "")
  message(FATAL_ERROR "QorModelBridge: cannot read the version of the macOS SDK '${QOR_MACOS_SDK}' "
                      "(xcrun --sdk ${QOR_MACOS_SDK} --show-sdk-version). Install Xcode 27.")
endif()
if(QOR_MACOS_SDK_VERSION VERSION_LESS 27.0)
  message(FATAL_ERROR "QorModelBridge needs the macOS 27 SDK (FoundationModels image attachments); "
                      "'${QOR_MACOS_SDK}' is ${QOR_MACOS_SDK_VERSION}. Select Xcode 27 with "
                      "xcode-select -s, or point CMAKE_OSX_SYSROOT at a macOS 27 SDK.")
endif()

enable_language(Swift)

# Swift only: the project's C++ warning and sanitizer options mean nothing to swiftc.
add_library(QorFoundationModelsShim STATIC ${CMAKE_CURRENT_LIST_DIR}/FoundationModelsShim.swift)
set_property(TARGET QorFoundationModelsShim PROPERTY COMPILE_OPTIONS -parse-as-library)
set_property(TARGET QorFoundationModelsShim PROPERTY Swift_LANGUAGE_VERSION 5)
# The executable links with the C++ driver: point it at the Swift runtime (in the SDK, and the
# toolchain's back-deployment libraries), and load the framework weakly so that a system without it
# still starts and reports the model as unavailable.
get_filename_component(QOR_SWIFT_BIN_DIR ${CMAKE_Swift_COMPILER} DIRECTORY)
execute_process(
  COMMAND xcrun --sdk ${QOR_MACOS_SDK} --show-sdk-path
  OUTPUT_VARIABLE QOR_MACOS_SDK_PATH
  OUTPUT_STRIP_TRAILING_WHITESPACE)
target_link_directories(QorFoundationModelsShim INTERFACE
  ${QOR_MACOS_SDK_PATH}/usr/lib/swift
  ${QOR_SWIFT_BIN_DIR}/../lib/swift/macosx)
target_link_options(QorFoundationModelsShim INTERFACE "LINKER:-weak_framework,FoundationModels")

add_library(QorBridgeFoundationModels STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FoundationModelsLanguageModel.cpp)
target_link_libraries(QorBridgeFoundationModels PUBLIC QorBridgeCore QorFoundationModelsShim)
set(QOR_BRIDGE_BACKEND QorBridgeFoundationModels)
