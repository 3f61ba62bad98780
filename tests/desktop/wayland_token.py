#!/usr/bin/python3
"""Asks the Wayland compositor for an activation token (xdg-activation-v1)
and prints it, as a launcher does before it starts a program with
XDG_ACTIVATION_TOKEN. Speaks the wire protocol directly over the socket
that WAYLAND_DISPLAY names (a full path, or a name in XDG_RUNTIME_DIR).
Exit status 1 when the compositor offers no xdg_activation_v1.
"""
import os
import socket
import struct
import sys

DISPLAY_ID = 1


def message(object_id, opcode, payload=b""):
    return struct.pack("<II", object_id, (8 + len(payload)) << 16 | opcode) + payload


def string(text):
    data = text.encode() + b"\0"
    return struct.pack("<I", len(data)) + data + b"\0" * (-len(data) % 4)


def read_string(payload, offset):
    length, = struct.unpack_from("<I", payload, offset)
    text = payload[offset + 4:offset + 4 + length - 1].decode()
    return text, offset + 4 + length + (-length % 4)


class Connection:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(5)
        self.sock.connect(path)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def events(self):
        """Yields (object id, opcode, payload) as they arrive."""
        while True:
            while len(self.buffer) >= 8:
                object_id, size_opcode = struct.unpack_from("<II", self.buffer)
                size = size_opcode >> 16
                if len(self.buffer) < size:
                    break
                payload = self.buffer[8:size]
                self.buffer = self.buffer[size:]
                yield object_id, size_opcode & 0xFFFF, payload
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the compositor closed the connection")
            self.buffer += chunk


def roundtrip(conn, callback_id):
    """wl_display.sync: returns the events that came before its done."""
    conn.send(message(DISPLAY_ID, 0, struct.pack("<I", callback_id)))
    seen = []
    for event in conn.events():
        if event[0] == callback_id:
            return seen
        if event[0] == DISPLAY_ID and event[1] == 0:  # wl_display.error
            raise ConnectionError(f"protocol error {event[2]!r}")
        seen.append(event)
    return seen


def main():
    display = os.environ.get("WAYLAND_DISPLAY", "wayland-0")
    path = display if display.startswith("/") else os.path.join(
        os.environ["XDG_RUNTIME_DIR"], display)
    conn = Connection(path)
    registry, activation, token_id = 2, 4, 5
    conn.send(message(DISPLAY_ID, 1, struct.pack("<I", registry)))  # get_registry
    name = None
    for object_id, opcode, payload in roundtrip(conn, 3):
        if object_id == registry and opcode == 0:  # global
            global_name, = struct.unpack_from("<I", payload)
            interface, _ = read_string(payload, 4)
            if interface == "xdg_activation_v1":
                name = global_name
    if name is None:
        print("the compositor offers no xdg_activation_v1", file=sys.stderr)
        return 1
    conn.send(message(registry, 0, struct.pack("<I", name) + string("xdg_activation_v1")
                      + struct.pack("<II", 1, activation)))  # bind
    conn.send(message(activation, 1, struct.pack("<I", token_id)))  # get_activation_token
    conn.send(message(token_id, 3))  # commit
    for object_id, opcode, payload in conn.events():
        if object_id == token_id and opcode == 0:  # done
            print(read_string(payload, 0)[0])
            return 0
        if object_id == DISPLAY_ID and opcode == 0:
            print(f"protocol error {payload!r}", file=sys.stderr)
            return 1
    return 1


if __name__ == "__main__":
    sys.exit(main())
