"""A WebSocket server for the sink's tests, built on the websockets library (Debian's 10.x).

Listens on loopback and reports, one JSON object per line on standard output, what it sees:
  {"event":"listening","port":N}
  {"event":"connected","path":...,"host":...,"sni":...}
  {"event":"message","type":"binary"|"text","size":N,"head":hex of the first 16 bytes,
   "hex":hex of the whole payload when it is at most 4096 bytes}
  {"event":"pong"}
  {"event":"closed","code":N,"reason":...}
Commands, one per line on standard input, act on the latest connection:
  pause | resume            stop / start taking messages (the library then stops reading the socket)
  text WORDS | binary HEX   send a message
  ping                      send a ping and report the pong
  close CODE                start the closing handshake
  abort                     drop the TCP connection without a close frame
"""

import argparse
import asyncio
import json
import socket
import ssl
import sys

import websockets


def emit(**event):
    sys.stdout.write(json.dumps(event, sort_keys=True) + "\n")
    sys.stdout.flush()


class Peer:
    def __init__(self, handshake_delay):
        self.handshake_delay = handshake_delay
        self.connection = None
        self.reading = asyncio.Event()
        self.reading.set()
        self.sni = None

    async def process_request(self, path, headers):
        if self.handshake_delay > 0:
            await asyncio.sleep(self.handshake_delay)
        return None

    async def handle(self, connection):
        self.connection = connection
        emit(event="connected", path=connection.path,
             host=connection.request_headers.get("Host"), sni=self.sni)
        try:
            while True:
                await self.reading.wait()
                message = await connection.recv()
                data = message.encode() if isinstance(message, str) else message
                event = {"event": "message",
                         "type": "text" if isinstance(message, str) else "binary",
                         "size": len(data), "head": data[:16].hex()}
                if len(data) <= 4096:
                    event["hex"] = data.hex()
                emit(**event)
        except websockets.ConnectionClosed:
            pass
        emit(event="closed", code=connection.close_code, reason=connection.close_reason)

    async def command(self, line):
        verb, _, argument = line.strip().partition(" ")
        connection = self.connection
        if verb == "pause":
            self.reading.clear()
        elif verb == "resume":
            self.reading.set()
        elif connection is None:
            emit(event="error", message="no connection for " + verb)
        elif verb == "text":
            await connection.send(argument)
        elif verb == "binary":
            await connection.send(bytes.fromhex(argument))
        elif verb == "ping":
            pong = await connection.ping()
            await pong
            emit(event="pong")
        elif verb == "close":
            await connection.close(int(argument))
        elif verb == "abort":
            connection.transport.abort()
        emit(event="done", command=verb)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--handshake-delay", type=float, default=0.0)
    parser.add_argument("--receive-buffer", type=int, default=0,
                        help="SO_RCVBUF of accepted connections, so that a pause stalls the "
                             "sender soon even when it sends little")
    options = parser.parse_args()

    peer = Peer(options.handshake_delay)
    context = None
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)

        def remember_name(ssl_object, name, ssl_context):
            peer.sni = name

        context.sni_callback = remember_name

    # One queued message at most: a paused peer soon stops reading the socket, so the sender's
    # writes stall as they would against a slow network. No keep-alive pings of our own.
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if options.receive_buffer > 0:
        # Set before listen(): accepted sockets inherit it, and the window is sized from it.
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, options.receive_buffer)
    listener.bind(("127.0.0.1", options.port))
    async with websockets.serve(peer.handle, sock=listener, ssl=context,
                                process_request=peer.process_request, max_queue=1,
                                max_size=None, ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        emit(event="listening", port=port)
        loop = asyncio.get_running_loop()
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                break
            await peer.command(line)


if __name__ == "__main__":
    asyncio.run(main())
