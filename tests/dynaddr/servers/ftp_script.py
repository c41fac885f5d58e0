"""A small scripted FTP server for the tests' error paths, on loopback, one session at a time.

  /usr/bin/python3 ftp_script.py --port N --mode MODE [--store FILE] [--split] [--fail-first]

Modes:
  late      answers like a server that connects to the data port only after STOR (then "150",
            connect, read to the end, store the bytes unchanged in --store, "226")
  talkative the same, but its data connection first sends some bytes of its own
  nodata    answers STOR with "150" and never connects
  silent    greets and then never answers
  flood     greets and then sends text without any line end
  close-at-USER / close-at-PASS / close-at-STOR   closes the control connection at that command
  226-at-USER  answers USER with "226" (852-at-USER: with "852", a code no FTP server has)
  drop-data   answers STOR by connecting to the data port and closing at once, then "150", "226"
  stranger    the same as late, but first connects to the data port from 127.0.0.2 and reads
              until that connection ends (printing "stranger got N bytes")
  continue    greets with continuation lines ("220-...") every 50 ms and never ends the reply
  noise       sends "200 ok" every 50 ms from the start, never a greeting
  tls-close   answers AUTH TLS with "234" and closes before any handshake
  tls-no-prot answers AUTH TLS with "234", takes the TLS handshake (--certfile, --keyfile), logs
              in and then refuses PROT P with "536"
  tls-no-ticket the same, but sends no TLS 1.3 session ticket, accepts PROT P, answers EPSV with
              a port of its own, prints "data connection accepted" when the client connects to it
              (after STOR), and stores what arrives over TLS there in --store
--split sends every reply one byte at a time; --fail-first answers the first USER with "421"
and closes. Every command line received is printed.
"""
import argparse
import socket
import ssl
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--mode", required=True)
    parser.add_argument("--store")
    parser.add_argument("--split", action="store_true")
    parser.add_argument("--fail-first", action="store_true")
    parser.add_argument("--certfile")
    parser.add_argument("--keyfile")
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(5)
    state = {"failed": False}
    while True:
        conn, _ = listener.accept()
        try:
            session(conn, args, state)
        except OSError:
            pass
        finally:
            conn.close()


def send(conn, text, split):
    data = text.encode("latin-1")
    if not split:
        conn.sendall(data)
        return
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for i in range(len(data)):
        conn.sendall(data[i:i + 1])
        time.sleep(0.002)


def session(conn, args, state):
    reply = lambda text: send(conn, text, args.split)
    if args.mode in ("continue", "noise"):
        line = "220-still here\r\n" if args.mode == "continue" else "200 ok\r\n"
        while True:
            reply(line)
            time.sleep(0.05)
    if args.mode == "flood":
        reply("220 hello\r\n")
        conn.sendall(b"x" * 70000)
        while conn.recv(4096):
            pass
        return
    reply("220-Scripted test server\r\n220-second line\r\n220 ready\r\n")
    if args.mode == "silent":
        while conn.recv(4096):
            pass
        return
    data_address = None
    pending = b""
    while True:
        chunk = conn.recv(4096)
        if not chunk:
            return
        pending += chunk
        while b"\r\n" in pending:
            line, pending = pending.split(b"\r\n", 1)
            text = line.decode("latin-1")
            print(text, flush=True)
            word = text.split(" ", 1)[0].upper()
            if args.mode == "close-at-" + word:
                return
            if word == "USER" and args.mode in ("226-at-USER", "852-at-USER"):
                reply(args.mode[:3] + " done\r\n")
            elif word == "USER":
                if args.fail_first and not state["failed"]:
                    state["failed"] = True
                    reply("421 too busy, try later\r\n")
                    return
                reply("331 password please\r\n")
            elif word == "AUTH" and args.mode.startswith("tls-"):
                reply("234 go ahead\r\n")
                if args.mode == "tls-close":
                    return
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(args.certfile, args.keyfile)
                if args.mode == "tls-no-ticket":
                    context.num_tickets = 0
                conn = context.wrap_socket(conn, server_side=True)
                pending = b""
                break
            elif word == "PBSZ":
                reply("200 PBSZ=0\r\n")
            elif word == "PROT" and args.mode == "tls-no-prot":
                reply("536 PROT P not supported here\r\n")
            elif word == "PROT":
                reply("200 PROT now Private\r\n")
            elif word == "EPSV" and args.mode == "tls-no-ticket":
                passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                passive.bind(("127.0.0.1", 0))
                passive.listen(1)
                reply("229 Entering Extended Passive Mode (|||%d|)\r\n" % passive.getsockname()[1])
            elif word == "STOR" and args.mode == "tls-no-ticket":
                data, _ = passive.accept()
                print("data connection accepted", flush=True)
                reply("150 go ahead\r\n")
                data = context.wrap_socket(data, server_side=True)
                stored = b""
                while True:
                    piece = data.recv(4096)
                    if not piece:
                        break
                    stored += piece
                data.close()
                if args.store:
                    with open(args.store, "wb") as f:
                        f.write(stored)
                reply("226 stored\r\n")
            elif word == "PASS":
                reply("230 logged in\r\n")
            elif word == "PWD":
                reply('257 "/" is the current directory\r\n')
            elif word == "TYPE":
                reply("200 type set\r\n")
            elif word == "PORT":
                numbers = [int(n) for n in text[5:].split(",")]
                data_address = (".".join(str(n) for n in numbers[:4]), numbers[4] * 256 + numbers[5])
                reply("200 PORT ok\r\n")
            elif word == "STOR" and args.mode == "drop-data":
                socket.create_connection(data_address, timeout=10).close()
                time.sleep(0.3)
                reply("150 opening data connection\r\n")
                reply("226 stored\r\n")
            elif word == "STOR":
                reply("150 opening data connection\r\n")
                if args.mode == "nodata":
                    continue
                if args.mode == "stranger":
                    stranger = socket.create_connection(data_address, timeout=10,
                                                        source_address=("127.0.0.2", 0))
                    got = 0
                    try:
                        while True:
                            piece = stranger.recv(4096)
                            if not piece:
                                break
                            got += len(piece)
                    except OSError:
                        pass
                    stranger.close()
                    print("stranger got %d bytes" % got, flush=True)
                data = socket.create_connection(data_address, timeout=10)
                if args.mode == "talkative":
                    data.sendall(b"unasked bytes\r\n" * 100)
                stored = b""
                while True:
                    piece = data.recv(4096)
                    if not piece:
                        break
                    stored += piece
                data.close()
                if args.store:
                    with open(args.store, "wb") as f:
                        f.write(stored)
                reply("226 stored\r\n")
            else:
                reply("502 not implemented\r\n")


if __name__ == "__main__":
    sys.exit(main())
