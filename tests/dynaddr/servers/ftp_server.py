"""FTP server for the tests: one user with full rights in a home folder, on loopback.

Run with Debian's own interpreter:
  /usr/bin/python3 ftp_server.py --port N --home DIR --user U --password P [--log FILE]
                                 [--certfile CERT --keyfile KEY] [--no-epsv]

With a certificate and key it speaks explicit TLS (AUTH TLS) and requires it on the control
and the data connection; --no-epsv answers EPSV as an unknown command, so clients use PASV.
"""
import argparse
import logging

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--home", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--log")
    parser.add_argument("--certfile")
    parser.add_argument("--keyfile")
    parser.add_argument("--no-epsv", action="store_true")
    args = parser.parse_args()

    # Every command and reply is logged (to stderr unless a file is named).
    logging.basicConfig(filename=args.log, level=logging.INFO)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elradfmwMT")

    base = TLS_FTPHandler if args.certfile else FTPHandler

    class Handler(base):
        pass

    if args.certfile:
        Handler.certfile = args.certfile
        Handler.keyfile = args.keyfile
        Handler.tls_control_required = True
        Handler.tls_data_required = True
    if args.no_epsv:
        Handler.proto_cmds = {k: v for k, v in base.proto_cmds.items() if k != "EPSV"}

    Handler.authorizer = authorizer
    # A wrong password is answered at once instead of after the usual delay.
    Handler.auth_failed_timeout = 0
    Handler.banner = "test server ready"

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
