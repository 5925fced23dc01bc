#!/usr/bin/env python3
"""The IMAP side of bench/imap_bench.sh, with the standard library's imaplib.

    imap_tool.py PORT USER PASSWORD wait-ready     waits until the server takes a login
    imap_tool.py PORT USER PASSWORD examine        has the server index INBOX, read-only
    imap_tool.py PORT USER PASSWORD latency N      N messages appended one by one; prints the
                                                   seconds from each APPEND to its leaving INBOX
"""
import imaplib
import sys
import time

STRANGER = (b"From: stranger%d@strangers.example\r\nTo: me@home.example\r\nSubject: Hello %d\r\n"
            b"Message-ID: <latency%d.%d@strangers.example>\r\nDate: Mon, 01 Jan 2024 00:00:00 +0000\r\n\r\n"
            b"A message for the watch.\r\n")


def connect(port, user, password):
    box = imaplib.IMAP4("127.0.0.1", port)
    box.login(user, password)
    return box


def wait_ready(port, user, password):
    for _ in range(100):
        try:
            connect(port, user, password).logout()
            return
        except (OSError, imaplib.IMAP4.error):
            time.sleep(0.1)
    sys.exit("imap_tool: the server does not answer")


def examine(port, user, password):
    box = connect(port, user, password)
    box.select("INBOX", readonly=True)
    box.uid("FETCH", "1:*", "(UID FLAGS RFC822.SIZE INTERNALDATE)")
    box.logout()


def latency(port, user, password, n):
    box = connect(port, user, password)
    figures = []
    time.sleep(2)  # the watch's first batch
    for i in range(n):
        stamp = int(time.time())
        message_id = b"<latency%d.%d@strangers.example>" % (i, stamp)
        box.append("INBOX", None, None, STRANGER % (i, i, i, stamp))
        appended = time.monotonic()
        box.select("INBOX", readonly=True)
        while True:
            status, found = box.uid("SEARCH", None, "HEADER", "Message-ID", message_id.decode())
            if status == "OK" and not found[0].split():
                break
            if time.monotonic() - appended > 30:
                sys.exit("imap_tool: a message stayed in INBOX for 30 s")
            time.sleep(0.01)
            box.noop()
        figures.append(time.monotonic() - appended)
        time.sleep(0.5)
    print(" ".join("%.3f" % f for f in figures) + " (median %.3f)" % sorted(figures)[len(figures) // 2])


def main():
    port, user, password, verb = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    if verb == "wait-ready":
        wait_ready(port, user, password)
    elif verb == "examine":
        examine(port, user, password)
    elif verb == "latency":
        latency(port, user, password, int(sys.argv[5]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
