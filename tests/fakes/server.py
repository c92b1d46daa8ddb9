"""A stand-in Reticulum for `HttpServer` (install it as `zivane.server.RNS`).

It offers what the server calls on Reticulum and behaves like it where that matters: a
buffer's ready callback may run on any thread with a byte count that is already stale,
reads return what is there (or None), a link's channel may refuse to send for a while,
and a link may close while the server writes to it.

    rns = ServerRNS()
    monkeypatch.setattr(server_mod, "RNS", rns)
    link, buf = open_link(server, rns)          # or open_link(server, rns, StatusLink(channel))
    buf.deliver(b"GET / HTTP/1.1\\r\\n\\r\\n")    # synchronous notification
    split_responses(buf.sent)                     # what the server wrote, as records
"""

import threading

from zivane.types import HttpResponse


class Buffer:
    """One link's bidirectional buffer: the test pushes bytes in, the server writes out."""

    def __init__(self, callback):
        self.callback = callback
        self.inbox = bytearray()
        self.lock = threading.Lock()
        self.writes = []
        self.flushes = 0
        self.on_write = None  # called with each write before it is taken

    def read(self, n):
        with self.lock:
            data = bytes(self.inbox[:n])
            del self.inbox[:n]
        return data or None

    def write(self, data):
        if self.on_write:
            self.on_write(data)
        self.writes.append(bytes(data))
        return len(data)

    def flush(self):
        self.flushes += 1

    def put(self, data):
        with self.lock:
            self.inbox += data
            return len(self.inbox)

    def deliver(self, data):
        """A notification on the calling thread."""
        self.callback(self.put(data))

    def deliver_threaded(self, data):
        """Like Reticulum: a new thread per message, started in arrival order."""
        t = threading.Thread(target=self.callback, args=(self.put(data),))
        t.start()
        return t

    @property
    def sent(self):
        return b"".join(self.writes)


class PacedChannel:
    """Ready on every other probe; counts probes."""

    def __init__(self):
        self.probes = 0

    def is_ready_to_send(self):
        self.probes += 1
        return self.probes % 2 == 0


class Link:
    """A link as the server sees it, without a status: it never reports itself closed."""

    CLOSED = 4

    def __init__(self, name="link", channel=None):
        self.name = name
        self.channel = channel
        self.teardowns = 0
        self.closed_callback = None

    def __str__(self):
        return self.name

    def get_channel(self):
        return self.channel

    def set_link_closed_callback(self, cb):
        self.closed_callback = cb

    def teardown(self):
        self.teardowns += 1
        self.mark_closed()
        if self.closed_callback:
            self.closed_callback(self)

    def mark_closed(self):
        pass


class StatusLink(Link):
    """A link with Reticulum's status attribute, CLOSED once torn down."""

    def __init__(self, channel=None, name="link"):
        super().__init__(name, channel if channel is not None else object())
        self.status = 2

    def mark_closed(self):
        self.status = Link.CLOSED


class Destination:
    IN, SINGLE = "in", "single"

    def __init__(self, *args):
        self.args = args
        self.calls = []
        self.hexhash = "ab" * 16

    def accepts_links(self, flag):
        self.calls.append(("accepts_links", flag))

    def set_link_established_callback(self, fn):
        self.calls.append(("callback", fn))

    def announce(self):
        self.calls.append(("announce",))


class ServerRNS:
    """The operations the server needs from Reticulum, one instance per test.

    `buffers` lists every buffer made, `early` (bytes) is delivered by another thread
    before a buffer is handed to the server, `saved` lists the identity files written
    (an identity file loads when it holds b"key"), `reticulum_calls` the instances
    started."""

    LOG_WARNING, LOG_VERBOSE = 2, 5
    Link = Link
    Destination = Destination

    def __init__(self):
        self.buffers = []
        self.early = None
        self.saved = []
        self.reticulum_calls = []
        rns = self

        class BufferFactory:
            @staticmethod
            def create_bidirectional_buffer(rx, tx, channel, callback):
                assert (rx, tx) == (0, 1)
                buf = Buffer(callback)
                rns.buffers.append(buf)
                if rns.early is not None:
                    buf.deliver_threaded(rns.early).join()
                return buf

        class Identity:
            @staticmethod
            def from_file(path):
                with open(path, "rb") as f:
                    return Identity() if f.read() == b"key" else None

            def to_file(self, path):
                with open(path, "wb") as f:
                    f.write(b"key")
                rns.saved.append(path)

        self.Buffer = BufferFactory
        self.Identity = Identity

    def Reticulum(self, config, level):
        self.reticulum_calls.append((config, level))
        return object()


def open_link(server, rns, link="link"):
    """Hands the server a new link (a name or a link object); returns it and its buffer."""
    if isinstance(link, str):
        link = Link(link)
    server._on_link(link)
    return link, rns.buffers[-1]


class NullOut:
    """Swallows the server's progress lines."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def split_responses(data):
    """Serialized responses (Content-Length framed) one after another -> list of records."""
    out = []
    pos = 0
    while pos < len(data):
        end = data.index(b"\r\n\r\n", pos) + 4
        length = 0
        for line in data[pos:end].split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        out.append(HttpResponse.parse(data[pos:end + length]))
        pos = end + length
    return out
