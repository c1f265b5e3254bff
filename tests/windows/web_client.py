"""A small client of the live page and the Foxglove endpoint for the Windows
interoperation tests: plain HTTP GET, a WebSocket client (RFC 6455,
fragmented messages, no extensions) and a PNG decoder for 8-bit gray and
RGB images, so that the tests need nothing beyond Python's standard library.

Every read has the socket's deadline; every message is capped in size.
"""
import base64
import os
import socket
import struct
import urllib.parse
import urllib.request
import zlib

MAX_MESSAGE = 64 << 20


class ProtocolError(Exception):
    pass


def http_get(url, timeout):
    """(status, body bytes) of a GET; HTTP errors are returned, not raised."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


class WebSocket:
    def __init__(self, url, timeout, protocol=None):
        u = urllib.parse.urlsplit(url)
        self.sock = socket.create_connection((u.hostname, u.port), timeout=timeout)
        self.buf = b""
        key = base64.b64encode(os.urandom(16)).decode()
        lines = ["GET %s HTTP/1.1" % (u.path or "/"), "Host: %s:%d" % (u.hostname, u.port), "Upgrade: websocket",
                 "Connection: Upgrade", "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if protocol:
            lines.append("Sec-WebSocket-Protocol: " + protocol)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.buf:
            self._fill(1)
            if len(self.buf) > 65536:
                raise ProtocolError("handshake response too long")
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        status = head.split(b"\r\n", 1)[0]
        if b" 101 " not in status + b" ":
            raise ProtocolError("upgrade refused: %r" % status)

    def close(self):
        self.sock.close()

    def _fill(self, n):
        while len(self.buf) < n:
            data = self.sock.recv(65536)
            if not data:
                raise ProtocolError("connection closed")
            self.buf += data

    def _take(self, n):
        self._fill(n)
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def _send(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        if n < 126:
            head = struct.pack("!BB", 0x80 | opcode, 0x80 | n)
        elif n < 65536:
            head = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
        else:
            head = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(head + mask + masked)

    def send_text(self, text):
        self._send(1, text.encode())

    def receive(self):
        """The next whole message as (opcode, payload): 1 text, 2 binary."""
        opcode, parts, size = None, [], 0
        while True:
            b0, b1 = self._take(2)
            fin, op, n = b0 & 0x80, b0 & 0x0F, b1 & 0x7F
            if b1 & 0x80:
                raise ProtocolError("the server masked a frame")
            if n == 126:
                n = struct.unpack("!H", self._take(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._take(8))[0]
            if n > MAX_MESSAGE or size + n > MAX_MESSAGE:
                raise ProtocolError("message over %d bytes" % MAX_MESSAGE)
            payload = self._take(n)
            if op == 8:
                raise ProtocolError("closed by the server: %r" % payload[2:])
            if op == 9:
                self._send(10, payload)
                continue
            if op == 10:
                continue
            if op in (1, 2):
                if opcode is not None:
                    raise ProtocolError("a new message inside a fragmented one")
                opcode = op
            elif op != 0 or opcode is None:
                raise ProtocolError("unexpected opcode %d" % op)
            parts.append(payload)
            size += n
            if fin:
                return opcode, b"".join(parts)


def decode_png(data):
    """(width, height, channels, pixels) of an 8-bit gray or RGB PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ProtocolError("not a PNG")
    pos, idat, ihdr = 8, [], None
    while pos + 8 <= len(data):
        n, kind = struct.unpack("!I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if len(body) != n:
            raise ProtocolError("PNG chunk cut short")
        if kind == b"IHDR":
            ihdr = struct.unpack("!IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
        pos += 12 + n
    if ihdr is None:
        raise ProtocolError("PNG without IHDR")
    width, height, depth, color, _, _, interlace = ihdr
    channels = {0: 1, 2: 3}.get(color)
    if depth != 8 or channels is None or interlace:
        raise ProtocolError("PNG kind not decoded here: depth %d color %d interlace %d" % (depth, color, interlace))
    raw = zlib.decompress(b"".join(idat))
    stride = width * channels
    if len(raw) != height * (stride + 1):
        raise ProtocolError("PNG data of %d bytes for %dx%d" % (len(raw), width, height))
    out = bytearray()
    prev = bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
            elif f != 0:
                raise ProtocolError("PNG filter %d" % f)
        out += line
        prev = line
    return width, height, channels, bytes(out)
