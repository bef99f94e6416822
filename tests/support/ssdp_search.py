"""Sends one M-SEARCH to argv[1]:1900 and prints "SENDER:PORT LOCATION" for each reply that comes
within argv[2] seconds. It may cross routers, were they to forward it, and its buffer holds a
burst of hundreds of replies (SO_RCVBUFFORCE, as root)."""

import socket
import sys
import time

SO_RCVBUFFORCE = 33  # Linux; the socket module does not name it
SEARCH = (
    b'M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
    b"MX: 1\r\nST: upnp:rootdevice\r\n\r\n"
)

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 4 << 20)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 8)
s.sendto(SEARCH, (sys.argv[1], 1900))
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    s.settimeout(max(end - time.monotonic(), 0.001))
    try:
        data, sender = s.recvfrom(65536)
    except socket.timeout:
        break
    location = [line.split(b" ", 1)[1] for line in data.split(b"\r\n") if line.startswith(b"LOCATION: ")]
    print("%s:%d" % sender, b",".join(location).decode())
