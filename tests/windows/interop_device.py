"""An independent Linux device for the Windows interoperation test: it
listens on a free loopback port, writes the port to a file, waits for the
viewer's command frame, then sends a log frame and a zlib-compressed image
frame built by hand, repeated until the viewer hangs up (or 60 s pass).
"""
import os
import socket
import struct
import sys
import time
import zlib


def main():
    port_file = sys.argv[1]
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(60)
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    # Renamed into place so that the viewer never reads half a number.
    os.replace(port_file + ".tmp", port_file)
    conn, _ = server.accept()
    conn.settimeout(60)
    command = b""
    while len(command) < 48:
        chunk = conn.recv(48 - len(command))
        if not chunk:
            raise SystemExit("device: viewer left before its command")
        command += chunk
    msg_type, _, data_len, _ = struct.unpack_from("<4i", command)
    assert msg_type == 3 and data_len == 32, "not a command frame"
    text = b"hello from linux\n\0"  # log text travels with its NUL
    log = struct.pack("<4i", 1, 0, len(text), len(text)) + text
    pixels = bytes(i % 251 for i in range(64 * 48))
    record = struct.pack("<iQiiiii", 0, 77, 64, 48, 1, 0, len(pixels)) + pixels
    packed = zlib.compress(record, 6)
    image = struct.pack("<4i", 2, 1, len(packed), len(record)) + packed
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            conn.sendall(log + image)
            time.sleep(0.05)
    except (BrokenPipeError, ConnectionResetError):
        # stderr: stdout is piped to the viewer, which has exited.
        print("device: viewer done", file=sys.stderr)
        return
    raise SystemExit("device: the viewer never hung up")


if __name__ == "__main__":
    main()
