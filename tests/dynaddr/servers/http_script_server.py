"""Scripted web server for the tests: answers every connection with the same bytes, on loopback.

Run with Debian's own interpreter:
  /usr/bin/python3 http_script_server.py --port N --response FILE [--requests FILE] [--keep-open]

The response file is sent as it stands, except that the marker <<PAUSE>> splits it into pieces
sent with a pause between them, so that they reach the client in separate reads, and a
response ending in <<RESET>> ends its connection with a reset instead of a close. Each request
(the bytes up to the empty line) is appended to the requests file. With --keep-open the server
holds the connection open after the response instead of closing it.
"""
import argparse
import socket
import struct
import threading
import time

MARKER = b"<<PAUSE>>"
RESET = b"<<RESET>>"


def read_request(conn):
    data = b""
    conn.settimeout(5)
    try:
        while b"\r\n\r\n" not in data and len(data) < 65536:
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    return data


def serve(conn, args, pieces, reset):
    with conn:
        request = read_request(conn)
        if args.requests:
            with open(args.requests, "ab") as f:
                f.write(request)
        try:
            for i, piece in enumerate(pieces):
                if i:
                    time.sleep(0.2)
                conn.sendall(piece)
        except OSError:
            return
        if reset:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        if args.keep_open:
            conn.settimeout(None)
            try:
                while conn.recv(4096):
                    pass
            except OSError:
                pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--response", required=True)
    parser.add_argument("--requests")
    parser.add_argument("--keep-open", action="store_true")
    args = parser.parse_args()

    with open(args.response, "rb") as f:
        response = f.read()
    reset = response.endswith(RESET)
    if reset:
        response = response[:-len(RESET)]
    pieces = response.split(MARKER)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, args, pieces, reset), daemon=True).start()


if __name__ == "__main__":
    main()
