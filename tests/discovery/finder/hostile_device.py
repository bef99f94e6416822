#!/usr/bin/env python3
"""One misbehaving UPnP root device for the finder's LAN test; run it in the robot namespace.

It announces itself with SSDP NOTIFY messages (so it needs no share of the SSDP port) and serves
its description address as its mode says:

  hung     accepts every connection, reads the request and never answers
  escapes  answers with malformed XML that carries the robot word and terminal escape codes

  hostile_device.py MODE ADDRESS PORT LIFETIME-S
"""
import select
import socket
import sys
import time

SSDP_GROUP = ("239.255.255.250", 1900)
ANNOUNCE_INTERVAL_S = 0.5
ESCAPES_BODY = (
    b'<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0"><device>'
    b"<friendlyName>\x1b]0;owned\x07\x1b[2J\x1b[31mROVA</friendlyName>"
    b"<modelDescription>ROVA \x1b[5m&bogus; <unclosed></device>\x1b[0m</root"
)


def announce(sock, address, port):
    message = (
        "NOTIFY * HTTP/1.1\r\n"
        "HOST: 239.255.255.250:1900\r\n"
        "CACHE-CONTROL: max-age=1800\r\n"
        f"LOCATION: http://{address}:{port}/ROVA.XML\r\n"
        "NT: upnp:rootdevice\r\n"
        "NTS: ssdp:alive\r\n"
        "SERVER: Linux/1.0 UPnP/1.0 hostile/1.0\r\n"
        f"USN: uuid:hostile-{address}::upnp:rootdevice\r\n\r\n"
    )
    sock.sendto(message.encode(), SSDP_GROUP)


def answer(connection, mode):
    if mode == "escapes":
        connection.recv(4096)
        header = f"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: {len(ESCAPES_BODY)}\r\n"
        connection.sendall(header.encode() + b"Connection: close\r\n\r\n" + ESCAPES_BODY)
        connection.close()
        return None
    return connection  # hung: kept open and never answered


def main():
    mode, address, port, lifetime = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((address, port))
    server.listen(16)
    ssdp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ssdp.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    ssdp.bind((address, 0))
    held = []
    end = time.monotonic() + lifetime
    next_announce = 0.0
    while time.monotonic() < end:
        now = time.monotonic()
        if now >= next_announce:
            announce(ssdp, address, port)
            next_announce = now + ANNOUNCE_INTERVAL_S
        ready, _, _ = select.select([server], [], [], ANNOUNCE_INTERVAL_S)
        if ready:
            connection, _ = server.accept()
            kept = answer(connection, mode)
            if kept is not None:
                held.append(kept)
    return 0


if __name__ == "__main__":
    sys.exit(main())
