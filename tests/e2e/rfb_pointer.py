"""A pointer for a headless Wayland compositor, through a VNC server's socket.

A headless wlroots compositor has no input devices, so no client ever gets
a pointer. wayvnc adds a virtual pointer; this speaks just enough of the RFB
protocol (version 3.8, no authentication) to move it and press its buttons.
"""
import socket
import struct
import time

BUTTON_MASKS = {1: 1, 2: 2, 3: 4}


class RfbPointer:
    def __init__(self, path, seconds=15):
        deadline = time.monotonic() + seconds
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.sock.settimeout(10)
        version = self._read(12)
        if not version.startswith(b"RFB 003."):
            raise RuntimeError("not an RFB server: %r" % version)
        self.sock.sendall(b"RFB 003.008\n")
        count = self._read(1)[0]
        if count == 0:
            raise RuntimeError("RFB server refused: %r" % self._reason())
        types = self._read(count)
        if 1 not in types:
            raise RuntimeError("RFB server wants authentication: %r" % list(types))
        self.sock.sendall(b"\x01")
        if struct.unpack(">I", self._read(4))[0] != 0:
            raise RuntimeError("RFB security handshake failed: %r" % self._reason())
        self.sock.sendall(b"\x01")  # shared
        self._read(4 + 16)  # the screen's size and pixel format
        self._read(struct.unpack(">I", self._read(4))[0])  # desktop name
        self.x = self.y = 0

    def _read(self, size):
        data = b""
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                raise RuntimeError("RFB server closed the connection")
            data += chunk
        return data

    def _reason(self):
        return self._read(struct.unpack(">I", self._read(4))[0])

    def _pointer(self, mask):
        self.sock.sendall(struct.pack(">BBHH", 5, mask, self.x, self.y))

    def move(self, x, y):
        self.x, self.y = x, y
        self._pointer(0)

    def click(self, x, y, button=1):
        self.move(x, y)
        time.sleep(0.2)
        self._pointer(BUTTON_MASKS[button])
        time.sleep(0.05)
        self._pointer(0)

    def close(self):
        self.sock.close()
