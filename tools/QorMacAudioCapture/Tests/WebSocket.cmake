# The WebSocket sink's tests: the conversion, the sink against a real server, and whole captures on
# the simulated platform streaming to it. The server is the websockets library
# (python3-websockets), a peer we did not write, run by peers/websocket_peer.py.
find_program(QOR_PEER_PYTHON NAMES python3 PATHS /usr/bin /usr/local/bin /opt/homebrew/bin
             NO_DEFAULT_PATH REQUIRED)
find_program(QOR_OPENSSL NAMES openssl REQUIRED)

add_executable(QorWebSocketTests
  ${CMAKE_CURRENT_LIST_DIR}/WebSocketAudioSinkTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WebSocketCaptureBlackBoxTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WebSocketTestSupport.cpp
)
target_include_directories(QorWebSocketTests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(QorWebSocketTests PRIVATE QorWebSocketSink QorCaptureTestSupport GTest::gtest_main)
target_compile_definitions(QorWebSocketTests PRIVATE
  QOR_PEER_PYTHON="${QOR_PEER_PYTHON}"
  QOR_OPENSSL="${QOR_OPENSSL}"
  QOR_WEBSOCKET_PEER="${CMAKE_CURRENT_LIST_DIR}/peers/websocket_peer.py"
  QOR_SIMULATED_EXECUTABLE="$<TARGET_FILE:QorMacAudioCaptureSim>"
)
add_dependencies(QorWebSocketTests QorMacAudioCaptureSim)
gtest_discover_tests(QorWebSocketTests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 180 LABELS websocket)
