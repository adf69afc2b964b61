# The bridge's macOS backend: the system's on-device model through FoundationModels. A short Swift
# unit exposes C functions (FoundationModelsShim.h) and a C++ adapter implements the bridge's model
# interface over them, so the C++ core never sees Swift. Included from the bridge's CMakeLists:
# Swift must be enabled in the directory of the executable that links it. Sets QOR_BRIDGE_BACKEND,
# or leaves it unset (and the bridge unbuilt) with an SDK that cannot build it.

macro(qor_add_foundation_models_adapter)
  add_library(QorBridgeFoundationModels STATIC
    ${CMAKE_CURRENT_LIST_DIR}/FoundationModelsLanguageModel.cpp)
  target_link_libraries(QorBridgeFoundationModels PUBLIC QorBridgeCore)
  set(QOR_BRIDGE_BACKEND QorBridgeFoundationModels)
endmacro()

if(QOR_MACOS_CROSS)
  qor_add_foundation_models_adapter()
  # Swift cannot be compiled on Linux and the SDK subset has no FoundationModels: the link check
  # leaves exactly the shim's C entry points undefined; everything else must resolve.
  foreach(symbol qor_fm_model_available qor_fm_supports_locale qor_fm_model_takes_images
                 qor_fm_image_is_readable qor_fm_respond qor_fm_free)
    target_link_options(QorBridgeFoundationModels INTERFACE "LINKER:-U,_${symbol}")
  endforeach()
  return()
endif()

# FoundationModels first appears in the macOS 26 SDK (text), image attachments in the 27 SDK. The
# capture program needs only 14.2, so an older SDK skips the bridge instead of stopping the whole
# configuration.
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
if(NOT QOR_XCRUN_RESULT EQUAL 0 OR QOR_MACOS_SDK_VERSION STREQUAL "" OR
   QOR_MACOS_SDK_VERSION VERSION_LESS 26.0)
  message(WARNING "QorModelBridge is not built: it needs the macOS 26 SDK (FoundationModels) and "
                  "'${QOR_MACOS_SDK}' is '${QOR_MACOS_SDK_VERSION}'. Select Xcode 26 or later with "
                  "xcode-select -s, or point CMAKE_OSX_SYSROOT at a macOS 26 SDK.")
  return()
endif()

# swiftc is not given CMAKE_OSX_DEPLOYMENT_TARGET under Ninja: without an explicit target it
# compiles for the build machine's system, every #available check folds to true, and the bridge
# would fail on an older system instead of reporting the model as unavailable. The bridge is arm64
# only (its CMakeLists).
set(CMAKE_Swift_COMPILER_TARGET "arm64-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET}")
enable_language(Swift)

# Swift only: the project's C++ warning and sanitizer options mean nothing to swiftc.
add_library(QorFoundationModelsShim STATIC ${CMAKE_CURRENT_LIST_DIR}/FoundationModelsShim.swift)
set_property(TARGET QorFoundationModelsShim PROPERTY COMPILE_OPTIONS -parse-as-library)
set_property(TARGET QorFoundationModelsShim PROPERTY Swift_LANGUAGE_VERSION 5)
# Image attachments are compiled only where the SDK declares them; a bridge built with the 26 SDK
# answers text prompts and treats the model as one that takes no images.
if(QOR_MACOS_SDK_VERSION VERSION_GREATER_EQUAL 27.0)
  target_compile_definitions(QorFoundationModelsShim PRIVATE QOR_FM_IMAGE_ATTACHMENTS)
endif()
# The executable links with the C++ driver: point it at the Swift runtime folders the compiler
# itself reports for this target (the SDK's, and the toolchain's back-deployment libraries), and
# load the framework weakly so that a system without it still starts and reports the model as
# unavailable.
execute_process(
  COMMAND xcrun --sdk ${QOR_MACOS_SDK} --show-sdk-path
  OUTPUT_VARIABLE QOR_MACOS_SDK_PATH
  OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(
  COMMAND ${CMAKE_Swift_COMPILER} -print-target-info -target ${CMAKE_Swift_COMPILER_TARGET}
          -sdk ${QOR_MACOS_SDK_PATH}
  OUTPUT_VARIABLE QOR_SWIFT_TARGET_INFO
  RESULT_VARIABLE QOR_SWIFT_INFO_RESULT)
if(NOT QOR_SWIFT_INFO_RESULT EQUAL 0)
  message(FATAL_ERROR "QorModelBridge: ${CMAKE_Swift_COMPILER} -print-target-info failed")
endif()
string(JSON QOR_SWIFT_PATH_COUNT LENGTH "${QOR_SWIFT_TARGET_INFO}" paths runtimeLibraryImportPaths)
math(EXPR QOR_SWIFT_PATH_LAST "${QOR_SWIFT_PATH_COUNT} - 1")
foreach(index RANGE ${QOR_SWIFT_PATH_LAST})
  string(JSON path GET "${QOR_SWIFT_TARGET_INFO}" paths runtimeLibraryImportPaths ${index})
  target_link_directories(QorFoundationModelsShim INTERFACE ${path})
endforeach()
target_link_options(QorFoundationModelsShim INTERFACE "LINKER:-weak_framework,FoundationModels")

qor_add_foundation_models_adapter()
target_link_libraries(QorBridgeFoundationModels PUBLIC QorFoundationModelsShim)
