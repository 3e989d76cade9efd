#!/usr/bin/env python3
"""Writes the seed inputs of the service loop fuzzer into corpus/service_loop.

The fuzzer reads its input through FuzzedDataProvider, which takes every number from the end
of the input backwards, most significant byte first, and as few bytes as the number's range
needs. Each seed is written here as the fuzzer's platform asks for its answers, in order, and
turned into bytes at the end. The seeds reach what random inputs reach late: full readiness
sets, a full client table, traffic on every service, status lines and a failure report.
"""
import os
import sys


class Seed:
    def __init__(self):
        self.taken = []

    def number(self, lo, hi, value):
        span = hi - lo
        nbytes = 0
        while nbytes < 8 and (span >> (8 * nbytes)) > 0:
            nbytes += 1
        raw = value - lo
        self.taken += [(raw >> (8 * (nbytes - 1 - i))) & 0xFF for i in range(nbytes)]

    def data(self):
        return bytes(reversed(self.taken))

    # The answers, in the order the program asks for them.
    def start(self, echoport=7007, chargenport=7019):
        self.number(1, 65535, echoport)
        self.number(1, 65535, chargenport)
        self.number(1, 32, 32)  # no opening call fails
        self.number(-(2**31), 2**31 - 1, 0)

    def select(self, read, write=1, except_=1, tick=False):
        """Modes: 0 all ready, 1 none, 2 the service sockets only."""
        self.number(0, 255, 1)  # select succeeds
        self.number(0, 255, 1 if tick else 0)
        for mode in (read, write, except_):
            self.number(0, 3, mode)

    def select_fails(self, code):
        self.number(0, 255, 0)
        self.number(-(2**31), 2**31 - 1, code)

    def datagram(self, length=-1, address=0x7F000001, port=40000):
        self.number(-1, 1500, length)
        self.number(0, 2**32 - 1, address)
        self.number(0, 2**16 - 1, port)
        if length >= 1:
            self.number(0, 255, 1)  # what the send returns is not looked at

    def accept(self, client=True):
        self.number(0, 31, 5 if client else 1)
        if client:
            self.number(0, 63, 1)  # the socket option is set

    def receive(self, low, high, value):
        self.number(low, high, value)

    def send(self, whole=True):
        self.number(0, 7, 7 if whole else 0)

    def no_key(self):
        self.number(0, 3, 1)


def many_clients():
    """32 passes that each accept a chargen and an echo client: 64 clients, read set full."""
    s = Seed()
    s.start()
    for i in range(32):
        s.select(read=2, tick=(i % 8 == 7))
        s.datagram()
        s.accept()
        s.accept()
        if i % 8 == 7:
            s.no_key()
    return s.data()


def chargen_table_full():
    """64 chargen clients and none for echo: the chargen table is full and the listener waits."""
    s = Seed()
    s.start()
    for _ in range(66):
        s.select(read=2)
        s.datagram()
        s.accept()
        s.accept(client=False)
    return s.data()


def traffic_then_failure():
    """Two clients of each service, three passes of traffic with a status line, then select fails."""
    s = Seed()
    s.start()
    for _ in range(2):
        s.select(read=2)
        s.datagram()
        s.accept()
        s.accept()
    for _ in range(3):
        s.select(read=0, write=0, tick=True)
        s.datagram(length=5)
        for _ in range(2):  # chargen clients: read, then sent a block
            s.receive(-1, 1000, 10)
            s.send()
        for _ in range(2):  # echo clients: read, then sent back
            s.receive(-1, 1460, 100)
            s.send()
        s.accept()
        s.accept()
        s.no_key()
    s.select_fails(10048)
    return s.data()


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "service_loop")
    os.makedirs(out, exist_ok=True)
    for make in (many_clients, chargen_table_full, traffic_then_failure):
        with open(os.path.join(out, make.__name__), "wb") as f:
            f.write(make())
    return 0


if __name__ == "__main__":
    sys.exit(main())
