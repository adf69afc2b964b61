// The WebSocket sink as a plain C function table. The sink needs TLS, and TLS libraries cost a
// capture that streams to standard output several megabytes of resident memory just by being
// mapped: where that matters the sink lives in a module beside the program, loaded only for
// --ws-url, whose one exported symbol returns this table. Only C types cross it: the module and the
// program may each carry their own C++ runtime, so no C++ object, allocation or exception passes
// between them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The table's layout; a program refuses a table of any other.
#define QOR_WEBSOCKET_SINK_VERSION 1u
// The module's one exported symbol, a QorWebSocketSinkEntry.
#define QOR_WEBSOCKET_SINK_ENTRY "qorWebSocketSinkFunctions"

// One sink, the module's own; the program holds it only through the table.
typedef struct QorWebSocketSink QorWebSocketSink;

// A parsed URL: each part its bytes and their length, valid for the call that receives them.
typedef struct QorWebSocketSinkURL {
    const char* text;
    size_t textLength;
    const char* scheme;  // lower-cased: "ws" or "wss"
    size_t schemeLength;
    const char* host;  // without brackets for IPv6 literals
    size_t hostLength;
    const char* port;  // empty when the URL names none
    size_t portLength;
    const char* target;  // path and query
    size_t targetLength;
} QorWebSocketSinkURL;

// Writes one failure line: its text and the text's length in bytes. Called on any of the sink's
// threads; returns normally.
typedef void (*QorWebSocketSinkReport)(const char* text, size_t length);

// Every function returns normally. A sink is used from the threads an audio sink is used from.
typedef struct QorWebSocketSinkFunctions {
    uint32_t version;
    // Starts connecting and returns at once. NULL when no sink could be made, reported first.
    QorWebSocketSink* (*open)(const QorWebSocketSinkURL* url, QorWebSocketSinkReport report);
    // One block of `sampleCount` interleaved stereo floats; the caller keeps them.
    void (*write)(QorWebSocketSink* sink, const float* floatStereo, size_t sampleCount);
    void (*stopWaiting)(QorWebSocketSink* sink);
    void (*close)(QorWebSocketSink* sink);
    // Frames accepted and not sent (a full window); on the thread of write.
    uint64_t (*droppedFrames)(const QorWebSocketSink* sink);
    // Releases the sink; a connection not closed is dropped.
    void (*destroy)(QorWebSocketSink* sink);
} QorWebSocketSinkFunctions;

typedef const QorWebSocketSinkFunctions* (*QorWebSocketSinkEntry)(void);

#ifdef __cplusplus
}
#endif
