"""An SMTP receiver for the tests: records each envelope it accepts into a folder.

smtp_recorder.py FOLDER MODE [--cert PEM --key PEM] [--user U --password P] [--stall]

MODE is plain, starttls or tls (implicit). It listens on 127.0.0.1 on a port the system picks and
writes that port to FOLDER/port once it listens. Each message N accepted becomes FOLDER/N.data
(the bytes after DATA, dots unstuffed) and then FOLDER/N.env ("MAIL FROM:<...>", one "RCPT
TO:<...>" a recipient, "AUTH user" when logged in). Each AUTH attempt appends a line to
FOLDER/auth.log. With --stall it never answers the end of DATA.
"""
import argparse
import asyncio
import logging
import os
import ssl
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_file(path, data):
    with open(path + ".tmp", "wb") as out:
        out.write(data)
    os.replace(path + ".tmp", path)


class Recorder:
    def __init__(self, folder, stall):
        self.folder = folder
        self.stall = stall
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        if self.stall:
            await asyncio.sleep(3600)
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        write_file(base + ".data", envelope.original_content)
        sender = envelope.mail_from if envelope.mail_from != "<>" else ""
        lines = ["MAIL FROM:<%s>" % sender]
        lines += ["RCPT TO:<%s>" % r for r in envelope.rcpt_tos]
        if session.authenticated:
            lines.append("AUTH %s" % session.auth_data.login.decode("utf-8", "replace"))
        write_file(base + ".env", ("\n".join(lines) + "\n").encode())
        return "250 2.0.0 recorded"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("mode", choices=["plain", "starttls", "tls"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--stall", action="store_true")
    args = parser.parse_args()
    # AUTH without TLS is what the loopback tests want; the library's warnings say otherwise.
    warnings.simplefilter("ignore")
    logging.disable(logging.WARNING)

    context = None
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)

    def authenticate(server, session, envelope, mechanism, data):
        ok = isinstance(data, LoginPassword) and data.login.decode() == args.user and \
            data.password.decode() == args.password
        with open(os.path.join(args.folder, "auth.log"), "a") as log:
            log.write("%s %s %s\n" % (mechanism, data.login.decode("utf-8", "replace"), "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False, auth_data=data if ok else None)

    recorder = Recorder(args.folder, args.stall)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def protocol():
        return SMTP(recorder, hostname="recorder.test", loop=loop,
                    tls_context=context if args.mode == "starttls" else None,
                    authenticator=authenticate if args.user else None,
                    auth_required=bool(args.user), auth_require_tls=False)

    server = loop.run_until_complete(loop.create_server(
        protocol, "127.0.0.1", 0, ssl=context if args.mode == "tls" else None))
    port = server.sockets[0].getsockname()[1]
    write_file(os.path.join(args.folder, "port"), str(port).encode())
    loop.run_forever()


if __name__ == "__main__":
    main()
