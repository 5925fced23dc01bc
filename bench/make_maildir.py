#!/usr/bin/env python3
"""Writes a Maildir of generated mail for bench/run_bench.sh, and the addresses to put on the
filter's lists before it is filtered.

    make_maildir.py DIR COUNT [KIND] [FIRST]

DIR/Maildir gets COUNT messages in new/ (one a second of arrival time, oldest first) and
DIR/lists/{authorized,remove,pending}.txt the senders to list, one a line. KIND is "mixed" (the
default: mostly authorized senders, some on the remove list, unknown senders, senders already
challenged, a few bounces) or one of those kinds alone: authorized, remove, unknown, pending,
bounce. FIRST (0) numbers the first message, so that a second mailbox made from FIRST=COUNT holds
other messages (file names, Message-IDs, arrival times). The same arguments always give the same
mailbox.
"""
import os
import random
import sys

FRIENDS = 500
SPAMMERS = 50
WAITING = 200
START = 1704067200  # 2024-01-01

# The mixed mailbox, in percent.
MIX = [("authorized", 70), ("remove", 9), ("unknown", 12), ("pending", 6), ("bounce", 3)]

FILLER = (
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt\n"
    "ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco\n"
    "laboris nisi ut aliquip ex ea commodo consequat. Duis aute irure dolor in reprehenderit in\n"
)


def message(i, kind, rng):
    arrival = START + i
    date = "Mon, 01 Jan 2024 00:00:00 +0000"
    fields = []
    body = "Message %d.\n\n" % i + FILLER * rng.randint(2, 30)
    if kind == "authorized":
        sender = "friend%d@friends.example" % rng.randrange(FRIENDS)
        fields += ["From: Friend <%s>" % sender, "Subject: News %d" % i]
    elif kind == "remove":
        sender = "deals%d@spam.example" % rng.randrange(SPAMMERS)
        fields += ["From: Deals <%s>" % sender, "Subject: WIN %d" % i]
    elif kind == "unknown":
        sender = "stranger%d@strangers.example" % i
        fields += ["From: %s" % sender, "Subject: Offer %d" % i]
    elif kind == "pending":
        sender = "waiting%d@pending.example" % rng.randrange(WAITING)
        fields += ["From: %s" % sender, "Subject: Still there? %d" % i]
    else:
        sender = "MAILER-DAEMON@mx.home.example"
        fields += ["Return-Path: <>", "From: MAILER-DAEMON@mx.home.example (Mail Delivery System)",
                   "Subject: Undelivered Mail Returned to Sender", "Auto-Submitted: auto-replied"]
        body = ("Your message could not be delivered.\n\n--- returned headers ---\n"
                "From: me@home.example\nTo: waiting%d@pending.example\n"
                "Subject: Please confirm [TWK-TESTKEY]\n" % rng.randrange(WAITING))
    if not fields[0].startswith("Return-Path"):
        fields.insert(0, "Return-Path: <%s>" % sender)
    fields[1:1] = ["Delivered-To: me@home.example",
                   "Received: from mx.example.net (mx.example.net [192.0.2.1])\n"
                   "\tby mx.home.example with ESMTPS id %08X\n\tfor <me@home.example>; %s" % (i, date)]
    fields += ["To: Me <me@home.example>", "Date: " + date, "Message-ID: <m%d@gen.example>" % i,
               "MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8"]
    name = "%d.M%06dP4242Q%d.bench" % (arrival, i % 1000000, i)
    return name, arrival, "\n".join(fields) + "\n\n" + body


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    base, count = sys.argv[1], int(sys.argv[2])
    kind = sys.argv[3] if len(sys.argv) > 3 else "mixed"
    first = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    rng = random.Random(20240101 + count)
    root = os.path.join(base, "Maildir")
    for sub in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    kinds = [k for k, share in MIX for _ in range(share)]
    for i in range(first, first + count):
        name, arrival, text = message(i, rng.choice(kinds) if kind == "mixed" else kind, rng)
        path = os.path.join(root, "new", name)
        with open(path, "w") as out:
            out.write(text)
        os.utime(path, (arrival, arrival))
    lists = os.path.join(base, "lists")
    os.makedirs(lists, exist_ok=True)
    for name, addresses in (("authorized", ["friend%d@friends.example" % n for n in range(FRIENDS)]),
                            ("remove", ["deals%d@spam.example" % n for n in range(SPAMMERS)]),
                            ("pending", ["waiting%d@pending.example" % n for n in range(WAITING)])):
        with open(os.path.join(lists, name + ".txt"), "w") as out:
            out.write("".join(a + "\n" for a in addresses))


if __name__ == "__main__":
    main()
