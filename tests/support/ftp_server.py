"""A real FTP server on loopback for the tests (pyftpdlib).

Usage: ftp_server.py --root DIR --port N [--user U --password P]
                     [--tls CERTDIR] [--refuse-rename]

Serves DIR to one user with every right. With --tls it makes a self-signed
certificate for 127.0.0.1 in CERTDIR (cert.pem, which is also the CA file a
client must trust) and requires TLS on the control and the data connections.
With --refuse-rename every RNTO is answered 550. Prints "ready <port>" on
standard output once it listens, and runs until SIGTERM.
"""
import argparse
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def make_certificate(folder):
    from OpenSSL import crypto
    key = crypto.PKey()
    key.generate_key(crypto.TYPE_RSA, 2048)
    cert = crypto.X509()
    cert.set_version(2)
    cert.get_subject().CN = "127.0.0.1"
    cert.set_serial_number(1)
    cert.gmtime_adj_notBefore(-3600)
    cert.gmtime_adj_notAfter(86400)
    cert.set_issuer(cert.get_subject())
    cert.set_pubkey(key)
    cert.add_extensions([
        crypto.X509Extension(b"subjectAltName", False, b"IP:127.0.0.1,DNS:localhost"),
        crypto.X509Extension(b"basicConstraints", True, b"CA:TRUE"),
    ])
    cert.sign(key, "sha256")
    os.makedirs(folder, exist_ok=True)
    cert_path = os.path.join(folder, "cert.pem")
    key_path = os.path.join(folder, "key.pem")
    with open(cert_path, "wb") as f:
        f.write(crypto.dump_certificate(crypto.FILETYPE_PEM, cert))
    with open(key_path, "wb") as f:
        f.write(crypto.dump_privatekey(crypto.FILETYPE_PEM, key))
    return cert_path, key_path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="station")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--tls")
    parser.add_argument("--refuse-rename", action="store_true")
    args = parser.parse_args()
    logging.basicConfig(level=logging.ERROR)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    base = FTPHandler
    if args.tls:
        from pyftpdlib.handlers import TLS_FTPHandler
        cert_path, key_path = make_certificate(args.tls)
        base = TLS_FTPHandler
        base.certfile = cert_path
        base.keyfile = key_path
        base.tls_control_required = True
        base.tls_data_required = True
        # Clients resume the control connection's TLS session on the data
        # connection; OpenSSL refuses that unless the server names a
        # session context, which pyftpdlib's own context does not.
        from OpenSSL import SSL
        context = SSL.Context(SSL.TLS_SERVER_METHOD)
        context.use_certificate_chain_file(cert_path)
        context.use_privatekey_file(key_path)
        context.set_options(base.ssl_options)
        context.set_session_id(b"logrum2-test")
        base.ssl_context = context

    class Handler(base):
        def ftp_RNTO(self, path):
            if args.refuse_rename:
                self.respond("550 Renaming is not allowed here.")
                return
            return super().ftp_RNTO(path)

    if args.tls:
        from pyftpdlib.handlers import TLS_DTPHandler

        class DataHandler(TLS_DTPHandler):
            # A client may start the data connection's TLS handshake before
            # it sends STOR; pyftpdlib would take that early data for a
            # hang-up and close the connection.
            def readable(self):
                if getattr(self, "_ssl_accepting", False):
                    return True
                return super().readable()

        Handler.dtp_handler = DataHandler

    Handler.authorizer = authorizer
    Handler.banner = "test server ready"
    Handler.auth_failed_timeout = 0.1
    server = FTPServer(("127.0.0.1", args.port), Handler)
    signal.signal(signal.SIGTERM, lambda *_: server.close_all() or sys.exit(0))
    print("ready %d" % server.address[1], flush=True)
    server.serve_forever(timeout=0.2)


if __name__ == "__main__":
    main()
