# Tests of the PipeWire backend. The rules run anywhere; the rest runs against a real private
# headless PipeWire server (scripts/audio-server.sh), which a CTest fixture starts when none is
# reachable and stops afterwards, and which each test process also starts on its own when run by
# hand.
if(NOT TARGET QorCapturePlatformPipeWire)
  return()
endif()

add_executable(QorCapturePipeWireUnitTests GraphClockFitTests.cpp PipeWireGraphTests.cpp)
target_link_libraries(QorCapturePipeWireUnitTests PRIVATE QorCapturePlatformPipeWire GTest::gtest_main)
gtest_discover_tests(QorCapturePipeWireUnitTests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)

# A client that plays only after a delay, for streams that appear during a capture.
add_subdirectory(TonePlayer)
add_executable(QorPipeWireDelayedTone PipeWireTonePeer.cpp)
set_target_properties(QorPipeWireDelayedTone PROPERTIES OUTPUT_NAME qor-delayed-tone)
target_link_libraries(QorPipeWireDelayedTone PRIVATE QorPipeWireTonePlayer)

add_executable(QorCapturePipeWireTests
  PipeWireBackendTests.cpp
  PipeWireBlackBoxTests.cpp
  PipeWireBrowserTests.cpp
  PipeWireServerMain.cpp
  PipeWireSignalStormTests.cpp
  PipeWireTestSupport.cpp
  WebSocketTestSupport.cpp
)
target_link_libraries(QorCapturePipeWireTests PRIVATE
  QorCapturePlatformPipeWire QorCaptureTestSupport PkgConfig::PIPEWIRE nlohmann_json::nlohmann_json
  GTest::gtest)
target_compile_definitions(QorCapturePipeWireTests PRIVATE
  QOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QOR_CAPTURE_EXECUTABLE="$<TARGET_FILE:QorMacAudioCapture>"
  QOR_DELAYED_TONE="$<TARGET_FILE:QorPipeWireDelayedTone>"
  QOR_TONE_FAMILY="${CMAKE_CURRENT_SOURCE_DIR}/peers/tone_family.py"
  QOR_PEER_PYTHON="${QOR_PEER_PYTHON}" QOR_OPENSSL="${QOR_OPENSSL}"
  QOR_WEBSOCKET_PEER="${CMAKE_CURRENT_SOURCE_DIR}/peers/websocket_peer.py")
add_dependencies(QorCapturePipeWireTests QorMacAudioCapture QorPipeWireDelayedTone)

set(QOR_AUDIO_SERVER_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/audio-server.sh)
set(QOR_AUDIO_SERVER_MARK ${CMAKE_CURRENT_BINARY_DIR}/audio-server-started-by-ctest)
add_test(NAME PipeWireServerStart COMMAND sh -c
  "out=$(bash '${QOR_AUDIO_SERVER_SCRIPT}' start) || exit 1; case \"$out\" in '# started'*) touch '${QOR_AUDIO_SERVER_MARK}';; esac")
add_test(NAME PipeWireServerStop COMMAND sh -c
  "if [ -f '${QOR_AUDIO_SERVER_MARK}' ]; then rm -f '${QOR_AUDIO_SERVER_MARK}'; bash '${QOR_AUDIO_SERVER_SCRIPT}' stop; fi")
set_tests_properties(PipeWireServerStart PROPERTIES FIXTURES_SETUP pipewire_server LABELS pipewire)
set_tests_properties(PipeWireServerStop PROPERTIES FIXTURES_CLEANUP pipewire_server LABELS pipewire)
# One at a time: they share the server's graph and two cores.
gtest_discover_tests(QorCapturePipeWireTests DISCOVERY_TIMEOUT 60 PROPERTIES
  LABELS pipewire FIXTURES_REQUIRED pipewire_server RESOURCE_LOCK pipewire_server TIMEOUT 120)
