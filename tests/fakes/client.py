"""A stand-in Reticulum for `HttpClient` (install it as `zivane.client.RNS`).

It offers only the operations the client relies on and delivers data the way Reticulum
does: every notification on a thread of its own, with counts that are only hints. Each
link is established at once on a thread and answers every complete request it receives
through `link.server`, `ClientLink.responder` or `echo` (request record -> response
bytes, or None for silence), in request order and in pieces.

State lives on the classes; `ClientRNS.reset()` puts it back, `ClientRNS.install()`
does that and installs the stand-in for one test. `hooks` (on `ClientLink`, shared by
every part) are called as each operation starts, so a test can make any of them hang or
fail: "Link", "Destination", "get_channel", "create_bidirectional_buffer", "write",
"flush", "read"; "delay" (seconds) holds the next answer back once. The path calls have
`ClientTransport.hooks` of their own, the recall `ClientIdentity.recall_hook`; with
`ClientLink.establish` false links are never established.
"""

import queue
import threading
import time

from zivane.types import HttpParserError, HttpRequest, HttpResponse


def echo(request):
    body = f"{request.method} {request.path}".encode()
    if request.body:
        body += b" " + request.body
    return bytes(HttpResponse(200, headers={"X-Path": request.path}, body=body))


def call_hook(name, *args):
    hook = ClientLink.hooks.get(name)
    return hook(*args) if hook else None


class ClientIdentity:
    created = 0
    files = {}  # file contents -> the identity saved in them
    from_file_calls = []
    recall_result = "server-identity"
    recall_error = None
    recall_hook = None

    def __init__(self):
        ClientIdentity.created += 1
        self.tag = ClientIdentity.created

    @staticmethod
    def from_file(path):
        ClientIdentity.from_file_calls.append(path)
        with open(path, "rb") as f:
            data = f.read()
        return ClientIdentity.files.get(data)

    def to_file(self, path):
        data = b"identity-%d" % self.tag
        ClientIdentity.files[data] = self
        with open(path, "wb") as f:
            f.write(data)

    @staticmethod
    def recall(h):
        if ClientIdentity.recall_hook:
            return ClientIdentity.recall_hook(h)
        if ClientIdentity.recall_error:
            raise ClientIdentity.recall_error
        return ClientIdentity.recall_result


class ClientTransport:
    """Records every call; `hooks` replace a call's answer."""

    calls = []
    hooks = {}
    path_known = True
    path_arrives = True

    @staticmethod
    def request_path(h):
        ClientTransport.calls.append(("request_path", h))
        hook = ClientTransport.hooks.get("request_path")
        return hook(h) if hook else None

    @staticmethod
    def has_path(h):
        ClientTransport.calls.append(("has_path", h))
        hook = ClientTransport.hooks.get("has_path")
        return hook(h) if hook else ClientTransport.path_known

    @staticmethod
    def await_path(h, timeout):
        ClientTransport.calls.append(("await_path", h, timeout))
        hook = ClientTransport.hooks.get("await_path")
        return hook(h, timeout) if hook else ClientTransport.path_arrives


class ClientDestination:
    IN, OUT, SINGLE = "in", "out", "single"

    def __init__(self, *args):
        call_hook("Destination")
        self.args = args


class ClientBuffer:
    """Bidirectional buffer; what is flushed goes to the link's answering side."""

    def __init__(self, link, callback):
        self.link = link
        self.callback = callback
        self.inbox = bytearray()
        self.lock = threading.Lock()
        self.read_error = None
        self.written = []

    def write(self, data):
        call_hook("write", data)
        self.written.append(bytes(data))
        return len(data)

    def flush(self):
        call_hook("flush")
        data = b"".join(self.written)
        self.written.clear()
        self.link.on_request(self, data)

    def read(self, n):
        call_hook("read")
        if self.read_error:
            raise self.read_error
        with self.lock:
            if not self.inbox:
                return None
            out = bytes(self.inbox[:n])
            del self.inbox[:n]
            return out

    def deliver(self, data):
        with self.lock:
            self.inbox.extend(data)
            ready = len(self.inbox)
        t = threading.Thread(target=self.callback, args=(ready,), daemon=True)
        t.start()
        return t


class ClientLink:
    """Answers leave in request order, `chunk` bytes per notification, `gap` seconds
    apart; with `overlap` a notification is not waited for before the next starts."""

    CLOSED, STALE = 0x02, 0x03
    instances = []
    hooks = {}
    responder = None
    establish = True
    chunk, gap, overlap = 211, 0.0, False

    def __init__(self, destination, established):
        call_hook("Link")
        self.destination = destination
        self.established = established
        self.status = 0x01
        self.teardowns = 0
        self.buffers = []
        self.server = None
        self.delay = 0.0  # seconds before every answer
        self.in_flight = self.max_in_flight = 0
        self.raw = []  # every complete request received
        self.received = bytearray()
        self.sender = None
        ClientLink.instances.append(self)
        if ClientLink.establish:
            threading.Thread(target=established, args=(self,), daemon=True).start()

    def get_channel(self):
        call_hook("get_channel")
        return ("channel", self)

    def teardown(self):
        self.teardowns += 1
        self.status = type(self).CLOSED
        sender, self.sender = self.sender, None
        if sender is not None:
            self.outbox.put(None)
            if sender is not threading.current_thread():
                sender.join(5)

    def on_request(self, buffer, data):
        # A request written in pieces is answered once it is all there.
        self.received += data
        while (message := self.take_request()) is not None:
            self.in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self.in_flight)
            self.raw.append(message)
            try:
                answer = (self.server or ClientLink.responder or echo)(HttpRequest.parse(message))
            except HttpParserError:
                answer = bytes(HttpResponse(400, body=b""))
            delay = self.delay + ClientLink.hooks.pop("delay", 0)
            if self.sender is None:
                self.outbox = queue.Queue()
                self.sender = threading.Thread(target=self.send_loop, daemon=True)
                self.sender.start()
            self.outbox.put((buffer, answer, delay))

    def take_request(self):
        end = self.received.find(b"\r\n\r\n")
        if end < 0:
            return None
        length = 0
        for line in bytes(self.received[:end]).split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        if len(self.received) < end + 4 + length:
            return None
        message = bytes(self.received[:end + 4 + length])
        del self.received[:end + 4 + length]
        return message

    def send_loop(self):
        while (item := self.outbox.get()) is not None:
            buffer, answer, delay = item
            if delay:
                time.sleep(delay)
            self.in_flight -= 1
            if answer is None:
                continue
            for i in range(0, len(answer), self.chunk):
                notified = buffer.deliver(answer[i:i + self.chunk])
                if not self.overlap:
                    notified.join()
                if self.gap:
                    time.sleep(self.gap)


class ClientBufferFactory:
    created = []  # (rx, tx) of every buffer: nothing that would keep a link alive

    @staticmethod
    def create_bidirectional_buffer(rx, tx, channel, callback):
        call_hook("create_bidirectional_buffer")
        ClientBufferFactory.created.append((rx, tx))
        buffer = ClientBuffer(channel[1], callback)
        channel[1].buffers.append(buffer)
        return buffer


class ClientRNS:
    LOG_VERBOSE = 5
    LOG_WARNING = 2
    Identity = ClientIdentity
    Transport = ClientTransport
    Destination = ClientDestination
    Link = ClientLink
    Buffer = ClientBufferFactory
    reticulum_calls = []

    @staticmethod
    def Reticulum(config, level):
        ClientRNS.reticulum_calls.append((config, level))
        return object()

    @staticmethod
    def reset(chunk=211, gap=0.0, overlap=False):
        """Fresh state; links answer in `chunk`-byte notifications (see ClientLink)."""
        ClientIdentity.created = 0
        ClientIdentity.files = {}
        ClientIdentity.from_file_calls = []
        ClientIdentity.recall_result = "server-identity"
        ClientIdentity.recall_error = None
        ClientIdentity.recall_hook = None
        ClientTransport.calls = []
        ClientTransport.hooks = {}
        ClientTransport.path_known = ClientTransport.path_arrives = True
        ClientLink.instances = []
        ClientLink.hooks = {}
        ClientLink.responder = None
        ClientLink.establish = True
        ClientLink.chunk, ClientLink.gap, ClientLink.overlap = chunk, gap, overlap
        ClientBufferFactory.created = []
        ClientRNS.reticulum_calls = []

    @staticmethod
    def install(monkeypatch, **profile):
        """Fresh state, installed as zivane.client.RNS until the test ends."""
        import zivane.client as client_mod

        ClientRNS.reset(**profile)
        monkeypatch.setattr(client_mod, "RNS", ClientRNS)
        return ClientRNS
