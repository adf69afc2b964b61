# The WebSocket sink's conversion of one 960-sample block to its 16-bit payload.
add_executable(QorWebSocketBench ${CMAKE_CURRENT_LIST_DIR}/WebSocketConversionBench.cpp)
target_link_libraries(QorWebSocketBench PRIVATE QorWebSocketSink benchmark::benchmark benchmark::benchmark_main)
