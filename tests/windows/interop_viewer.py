"""An independent Linux viewer for the Windows interoperation test: it reads
the port a device wrote to a file, opens the log and image streams with a
hand-built command frame, and checks one log frame and one image frame
byte by byte (image records inflated with Python's zlib). Exit 0 on success.
"""
import socket
import struct
import sys
import time
import zlib


def read_exact(sock, n):
    out = b""
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            raise SystemExit("viewer: device closed the connection")
        out += chunk
    return out


def main():
    port_file, deadline = sys.argv[1], time.monotonic() + 60
    port = None
    while port is None:
        try:
            with open(port_file) as f:
                port = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            if time.monotonic() > deadline:
                raise SystemExit("viewer: no port file")
            time.sleep(0.05)
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    # Command frame: type 3, uncompressed, 32-byte body; logs and images on,
    # all four channels on, one image per millisecond at most.
    body = struct.pack("<8i", 1, 1, 1, 1, 1, 1, 1, 1)
    sock.sendall(struct.pack("<4i", 3, 0, len(body), 0) + body)
    log_ok = image_ok = False
    expected = bytes(i % 251 for i in range(64 * 48))
    while not (log_ok and image_ok):
        if time.monotonic() > deadline:
            raise SystemExit("viewer: frames missing")
        msg_type, compressed, data_len, raw_len = struct.unpack("<4i", read_exact(sock, 16))
        payload = read_exact(sock, data_len)
        if compressed:
            payload = zlib.decompress(payload)
            assert len(payload) == raw_len, "raw length mismatch"
        if msg_type == 1:
            assert payload.startswith(b"hello from windows "), payload[:40]
            log_ok = True
        elif msg_type == 2:
            at = 0
            while at < len(payload):
                attr1, tag, attr2, attr3, attr4, attr5, n = struct.unpack_from("<iQiiiii", payload, at)
                data = payload[at + 32:at + 32 + n]
                assert (attr1, attr2, attr3, attr4, attr5) == (0, 64, 48, 1, 0), (attr1, attr2, attr3, attr4)
                assert tag >= 1000 and data == expected, "image bytes differ"
                at += 32 + n
            image_ok = True
    sock.close()
    print("viewer: log and image frames from the Windows device check out")


if __name__ == "__main__":
    main()
