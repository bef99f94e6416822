#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora: real-looking inputs and the malformed
shapes that broke other SSDP stacks and description parsers.

Run from anywhere: python3 fuzz/make_seeds.py. The output is committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CRLF = "\r\n"


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


# --- datagrams: first byte = address slots already taken (0..16) + 17 * the
# live intake's choice (sender + 5 * arrival interface); senders: the
# LOCATION's host, 192.0.2.10 and 10.1.7.7 (one on each searched subnet), the
# asked target 203.0.113.7, this host's 192.0.2.1; arrival: eth0, eth1, an
# interface that is not searched ---------------------------------------------

SENDERS = ["location", "192.0.2.10", "10.1.7.7", "203.0.113.7", "192.0.2.1"]
ARRIVALS = ["eth0", "eth1", "unsearched"]


def reply(
    location="http://192.0.2.10/ROVA.XML",
    usn="uuid:R0VA-0001::upnp:rootdevice",
    st="upnp:rootdevice",
    server="Linux/6.1 UPnP/1.0 R0VA-sim/1.0",
    eol=CRLF,
):
    lines = [
        "HTTP/1.1 200 OK",
        "CACHE-CONTROL: max-age=1800",
        "EXT:",
        "LOCATION: " + location,
        "SERVER: " + server,
        "ST: " + st,
        "USN: " + usn,
        "",
    ]
    return eol.join(lines) + eol


def datagram(name, text, taken=0, sender="location", arrival="eth0"):
    if isinstance(text, str):
        text = text.encode("latin-1")
    choice = SENDERS.index(sender) + 5 * ARRIVALS.index(arrival)
    write("ssdp_reply", name, bytes([taken + 17 * choice]) + text)


def notify(nts, location="http://192.0.2.10/ROVA.XML", usn="uuid:R0VA-0001::upnp:rootdevice", extra=""):
    lines = ["NOTIFY * HTTP/1.1", "HOST: 239.255.255.250:1900", "NT: upnp:rootdevice", "NTS: " + nts]
    lines += ["LOCATION: " + location] if location else []
    return CRLF.join(lines + ["USN: " + usn, "BOOTID.UPNP.ORG: 7"]) + CRLF + extra + CRLF


def datagram_seeds():
    datagram("robot", reply())
    datagram("robot_table_full", reply(), taken=16)
    datagram("robot_repeats_known_address", reply("http://10.0.0.3/ROVA.XML"), taken=16)
    datagram("other_device", reply(server="Linux UPnP/1.0 Printer/2.0", usn="uuid:printer"))
    datagram(
        "notify",
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
        "NTS: ssdp:alive\r\nLOCATION: http://192.0.2.20/R0VA.xml\r\n\r\n",
    )
    datagram("location_with_port", reply("http://192.0.2.10:80/ROVA.XML"))
    datagram("location_host_name", reply("http://robot.local/ROVA.XML"))
    datagram("location_no_slash", "R0VA\r\nLOCATION: http://192.0.2.10")
    datagram("location_empty_host", "R0VA LOCATION: http://")
    datagram("location_broadcast", reply("http://255.255.255.255/ROVA.XML"))
    datagram("location_client_itself", reply("http://127.0.0.1/ROVA.XML"))
    datagram("location_short_forms", reply("http://0x7f.1/ROVA.XML") + "LOCATION: http://017.0.0.1/")
    datagram("location_wrong_case", reply().replace("LOCATION: ", "Location: "))
    datagram("location_inside_other_header", "X-NOTE: LOCATION: http://192.0.2.30/ R0VA\r\n" + reply())
    datagram("usn_schemas_device_overflow", reply(usn="uuid:schemas:device:" + "A" * 512 + ":x"))
    datagram("usn_uuid_overflow", reply(usn="uuid:" + "A" * 300 + "::upnp:rootdevice"))
    datagram("long_device_type", reply(st="urn:schemas-upnp-org:device:" + "B" * 4000 + ":1"))
    datagram("overlong_location_host", reply("http://" + "9" * 60000 + "/ROVA.XML"))
    datagram("overlong_dotted_host", reply("http://" + "1." * 20000 + "1/ROVA.XML"))
    datagram("max_size_datagram", (reply() + "X" * 65535)[:65535])
    datagram("max_size_marker_at_end", ("Y" * 65535)[: 65535 - 40] + "R0VA LOCATION: http://192.0.2.99/")
    datagram("missing_crlf", reply(eol=" "))
    datagram("bare_lf", reply(eol="\n"))
    datagram("nul_before_marker", b"HTTP/1.1 200 OK\r\n\x00" + reply().encode())
    datagram("nul_after_location", reply().replace("/ROVA.XML", "\x00/ROVA.XML"))
    datagram("non_utf8", reply(location="http://\xff\xfe\xc0\xaf/ROVA.XML", server="\xc3\x28R0VA\xa0\xa1"))
    datagram("empty", "")
    datagram("notify_alive_robot", notify("ssdp:alive"))
    datagram("notify_byebye_robot", notify("ssdp:byebye", location=""), sender="192.0.2.10")
    datagram("notify_update_second_link", notify("ssdp:update", "http://10.1.7.7/ROVA.XML"), arrival="eth1")
    datagram("notify_alive_unsearched", notify("ssdp:alive"), arrival="unsearched")
    datagram("notify_propchange", notify("upnp:propchange"))
    datagram(
        "notify_odd_case",
        "NOTIFY * HTTP/1.1\r\nnts:  SSDP:ByeBye \t\r\nusn:uuid:R0VA-0001::upnp:rootdevice\r\n"
        "Location: http://192.0.2.10/ROVA.XML\r\nBootId.UPnP.Org:\t3\r\n\r\n",
        sender="192.0.2.10",
    )
    datagram(
        "notify_long_values",
        notify(
            "ssdp:alive",
            "http://192.0.2.10/" + "p" * 400,
            "uuid:R0VA-" + "u" * 300 + "::upnp:rootdevice",
            "BOOTID.UPNP.ORG: " + "9" * 300 + CRLF,
        ),
    )
    datagram("notify_headers_after_blank_line", "NOTIFY * HTTP/1.1\r\n\r\nNTS: ssdp:byebye\r\nUSN: uuid:R0VA-1\r\n")
    datagram("reply_from_target", reply("http://203.0.113.7/ROVA.XML"), sender="203.0.113.7", arrival="eth1")
    datagram("reply_from_this_host", reply("http://192.0.2.1/ROVA.XML"), sender="192.0.2.1")
    datagram("reply_location_elsewhere", reply("http://192.0.2.11/ROVA.XML"), sender="192.0.2.10")
    datagram("reply_location_across_lines", "HTTP/1.1 200 OK\r\nLOCATION: http://192.0.2.10\r\nUSN: uuid:R0VA-1\r\n")


# --- documents: first byte = rows taken, address line, then the body --------


def document(udn="uuid:00000000-0000-1000-8000-R0VA00000001", name="Rova One", presentation="index.html", extra=""):
    return (
        '<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0">'
        "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
        "<deviceType>urn:schemas-upnp-org:device:Basic:1</deviceType>"
        "<friendlyName>" + name + "</friendlyName><manufacturer>Maker</manufacturer>"
        "<modelDescription>Walking robot</modelDescription><modelName>Model 7</modelName>"
        "<UDN>" + udn + "</UDN><presentationURL>" + presentation + "</presentationURL>" + extra + "</device></root>\n"
    )


def description(name, body, address="192.0.2.10", taken=0):
    if isinstance(body, str):
        body = body.encode("latin-1")
    write("description", name, bytes([taken]) + address.encode() + b"\n" + body)


def description_seeds():
    description("robot", document())
    description("robot_rows_full", document(), taken=16)
    description("robot_last_free_row", document(), taken=15)
    description("other_device", document(udn="uuid:printer-1"))
    description("marker_only_in_name", document(udn="uuid:x", name="R0VA"))
    description("absolute_presentation_url", document(presentation="http://192.0.2.10:8080/"))
    description("empty_presentation_url", document(presentation=""))
    description("udn_13_and_14", document(udn="uuid:R0VA-123") + document(udn="uuid:R0VA-1234"))
    description("address_not_dotted_quad", document(), address="1.2.3")
    description("address_too_many_dots", document(), address="1.2.3.4.5")
    description("address_broadcast", document(), address="255.255.255.255")
    description("address_empty", document(), address="")
    description("close_before_open", "</UDN><UDN>R0VA</UDN></friendlyName><friendlyName>x")
    description("unterminated_tag", "<UDN>uuid:R0VA-" + "A" * 300)
    description("nested_tags", "<UDN><UDN>R0VA</UDN></UDN><friendlyName><friendlyName>n</friendlyName>")
    description("repeated_tags", "<UDN>R0VA</UDN>" + "<friendlyName>x</friendlyName>" * 140)
    description("long_element_names", "<" + "e" * 200 + ">R0VA</" + "e" * 200 + "><UDN>R0VA</UDN>")
    description("cdata_at_end", ("<UDN>R0VA</UDN>" + " " * 4069)[: 4069 - 9] + "<![CDATA[")
    description("truncated_attribute", "<UDN>R0VA</UDN><friendlyName attr=")
    description("nul_in_body", document().replace("<UDN>", "\x00<UDN>"))
    description("bare_lf", document().replace("><", ">\n<"))
    description("chunk_size_ffffffff", "ffffffff\r\n" + document() + "\r\n0\r\n\r\n")
    description("longer_than_read", document(extra="<pad>" + "p" * 4100 + "</pad>") + "<UDN>R0VA-late</UDN>")
    description("udn_closes_after_cut", "<UDN>R0VA" + "u" * 4100 + "</UDN>")
    description("non_utf8_fields", document(name="\xff\xfe\x80Rova", presentation="\xc0\xaf"))
    description("format_directives", document(name="%s%n%x", presentation="%s%s%n"))


# --- Kinemap calls, in the byte order FuzzedDataProvider reads them ---------


class Calls:
    """Builds an input that FuzzedDataProvider reads back: integers from the
    end of the data, strings from its start."""

    def __init__(self):
        self.consumed = bytearray()
        self.front = bytearray()

    def string(self, text):
        data = text.encode("latin-1") if isinstance(text, str) else text
        self.front += data.replace(b"\\", b"\\\\") + b"\\x"

    def boolean(self, value):
        self.integral(int(value), 0, 255)

    def integral(self, value, low, high):
        span, offset, count = high - low, value - low, 0
        while count < 8 and span >> (8 * count) > 0:
            count += 1
        self.consumed += offset.to_bytes(count, "big") if count else b""

    def signed(self, value, bits=32):
        self.integral(value, -(1 << (bits - 1)), (1 << (bits - 1)) - 1)

    def unsigned(self, value, bits=32):
        self.integral(value, 0, (1 << bits) - 1)

    def call(self, which):
        self.integral(which, 0, 3)

    def data(self):
        return bytes(self.front) + bytes(reversed(self.consumed))


def kinemap_seeds():
    key = Calls()
    for count, units, null in [
        (3, (11, 1, 1), 0),
        (3, (11, 1, 2), 0),
        (2, (11, 1), 0),
        (-1, (), 0),
        (3, (11, 1, 1), 1),
        (2**31 - 1, (), 0),
    ]:
        key.call(0)
        key.signed(count)
        for unit in units:
            key.unsigned(unit, 16)
        key.unsigned(null, 8)
    write("kinemap", "design_keys", key.data())

    locators = Calls()
    for design, index in [
        (1, 8),
        (0, 37),
        (2, 5),
        (1, 42),
        (0, 43),
        (0, -1),
        (2**32 - 1, 2**31 - 1),
        (1, -(2**31)),
    ]:
        locators.call(1)
        locators.unsigned(design)
        locators.signed(index)
    write("kinemap", "locators", locators.data())

    strings = Calls()
    for uid, language, room, null in [
        (6, 1041, 128, 0),
        (6, 1041, 7, 0),
        (8, 1041, 1, 0),
        (1, 1033, 0, 0),
        (13, 1033, 16, 0),
        (1, 0, 64, 0),
        (2, 7, 64, 0),
        (3, 1033, 64, 1),
        (12, 1033, -1, 0),
    ]:
        strings.call(2)
        strings.unsigned(uid)
        strings.unsigned(language, 16)
        strings.integral(room, -1, 512)
        strings.unsigned(null, 8)
    write("kinemap", "strings", strings.data())

    arrays = Calls()
    for design in (0, 1, 2, 2**32 - 1):
        arrays.call(3)
        arrays.unsigned(design)
    write("kinemap", "arrays", arrays.data())


# --- finder reports: devices, faults and counts ------------------------------

FAULT_ONE_IN = 8


def finder(name, devices, search_fault=0, count=None, creation_fails=False, conversion_fails=False):
    """devices: (friendly name, presentation URL, description, device fault 0..6)."""
    calls = Calls()
    calls.integral(1 if creation_fails else 2, 1, FAULT_ONE_IN * 4)
    calls.integral(1 if search_fault else 2, 1, FAULT_ONE_IN)
    if search_fault:
        calls.integral(search_fault, 1, 4)
    calls.boolean(count is not None)
    if count is not None:
        calls.integral(count, 0, 40)
    calls.integral(len(devices), 0, 24)
    for friendly, url, description, fault in devices:
        calls.integral(1 if fault else 2, 1, FAULT_ONE_IN)
        if fault:
            calls.integral(fault, 1, 6)
        calls.string(friendly)
        calls.string(url)
        calls.string(description)
    calls.integral(1 if conversion_fails else 2, 1, FAULT_ONE_IN * 4)
    write("finder_texts", name, calls.data())


def robot(index, url=None, name=None):
    return (name or "Robot %d" % index, url or "http://192.0.2.%d/index.html" % (10 + index), "ROVA walking robot", 0)


PRINTER = ("Printer", "http://192.0.2.99/", "A printer", 0)


def finder_seeds():
    finder("three_robots_and_a_printer", [robot(0), PRINTER, robot(1), robot(2)])
    finder("twenty_robots", [robot(i) for i in range(20)])
    finder(
        "url_shapes",
        [
            robot(0, "http://192.0.2.10/"),
            robot(1, "http://192.0.2.11:80/"),
            robot(2, "http://192.0.2.12/app/index.html"),
            robot(3, "https://192.0.2.13/"),
            robot(4, "http://192.0.2.14"),
            robot(5, ""),
            robot(6, "/"),
            robot(7, "http:///"),
        ],
    )
    finder(
        "long_texts",
        [
            robot(0, name="N" * 2999),
            robot(1, "http://" + "h" * 2990 + "/x"),
            ("\xe3\x81\x82" * 999, "http://192.0.2.12/", "ROVA", 0),
            ("\x80" * 2500, "http://" + "\xbf" * 2100 + "/", "ROVA", 0),
        ],
    )
    finder("word_in_other_case", [("r", "http://192.0.2.10/", "rova Rova ROV A", 0), robot(1)])
    finder("fault_after_a_robot", [robot(0), ("x", "http://192.0.2.11/", "ROVA", 5), robot(2)])
    finder("every_device_fault", [robot(0)] + [robot(i, name="f%d" % i)[:3] + (i,) for i in range(1, 7)])
    finder("count_disagrees", [robot(0), robot(1)], count=5)
    finder("count_zero", [robot(0)], count=0)
    finder("search_faults", [robot(0)], search_fault=3)
    finder("creation_fails", [robot(0)], creation_fails=True)
    finder("conversion_fails", [robot(0)], conversion_fails=True)


# --- the finder helper's stream: piece sizes, then the stream -------------

MAX_FIELD_BYTES = 64 * 1024


def length(value):
    return struct.pack("<I", value)


def field(text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    return length(len(data)) + data


def helper_device(name, url, description="ROVA walking robot"):
    return b"D" + field(name) + field(url) + field(description)


def helper_stream(devices, count=None):
    end = b"E" + length(len(devices) if count is None else count)
    return b"SWFS\x01" + b"".join(devices) + end


def stream(name, data, pieces=()):
    write("helper_stream", name, bytes([len(pieces)]) + bytes(pieces) + data)


def helper_stream_seeds():
    robots = [helper_device("Robot %d" % i, "http://192.0.2.%d/" % (10 + i)) for i in range(3)]
    stream("no_devices", helper_stream([]))
    stream("three_robots", helper_stream(robots))
    stream("three_robots_byte_by_byte", helper_stream(robots), pieces=[1])
    stream("three_robots_odd_pieces", helper_stream(robots), pieces=[3, 7, 1, 0, 2])
    stream(
        "empty_fields_and_high_bytes",
        helper_stream(
            [helper_device("", ""), helper_device("\xe3\x81\x82\xff", "http://192.0.2.12:8080/app/", "\x01\x7f")]
        ),
    )
    stream("field_at_bound", helper_stream([helper_device("n" * MAX_FIELD_BYTES, "u")]), pieces=[0, 17])
    stream("field_one_over_bound", helper_stream([helper_device("u", "n" * (MAX_FIELD_BYTES + 1))]))
    stream("count_disagrees", helper_stream(robots, count=2))
    stream("unknown_tag", helper_stream(robots).replace(b"D", b"X", 1))
    stream("nul_in_field", helper_stream([helper_device("Rob\x00t", "http://192.0.2.10/")]))
    stream("bytes_after_end", helper_stream(robots) + b"E", pieces=[64])
    stream("ends_inside_frame", helper_stream(robots)[:-9])
    stream("wrong_version", b"SWFS\x02" + helper_stream(robots)[5:])
    stream("nothing", b"")


# --- the live search's book: a first byte (bit 0 = a watch, bits 1-2 =
# responders held - 2, bit 3 = reads under way - 1), then pairs of
# (step | parameter << 4, address - 1 | more << 3). Addresses 1-3 are on
# interface 1, 4-6 on interface 2, 7-8 are targets beyond both; UDNs 1-3.

BOOK_STEPS = ["heard", "skip", "bye", "ask", "swept", "read", "fail", "round", "forget"]


def book_step(text):
    """ "heard A [UDN [BOOT [moved]]]", "skip A", "bye A UDN", "ask A", "swept A",
    "read A UDN [renamed] [next]" (next: with the next address's ticket), "fail A",
    "round [1|2|12|-]" (the interfaces searched; both unless named), "forget I"."""
    words = text.split()
    step, args = BOOK_STEPS.index(words[0]), words[1:]
    numbers = [int(word) for word in args if word.isdigit()]
    address, parameter, more = (numbers or [1])[0], 0, 0
    if step == BOOK_STEPS.index("heard"):
        parameter = numbers[1] if len(numbers) > 1 else 0
        more = (numbers[2] if len(numbers) > 2 else 0) | ("moved" in args) << 2
    elif step == BOOK_STEPS.index("bye"):
        parameter = numbers[1]
    elif step == BOOK_STEPS.index("read"):
        parameter = numbers[1] - 1 | ("renamed" in args) << 2
        more = ("next" in args) << 3
    elif step == BOOK_STEPS.index("fail"):
        parameter = 6  # connection refused
    elif step == BOOK_STEPS.index("round"):
        address, parameter = 1, sum(int(index) for index in (args[0] if args else "12") if index != "-")
    elif step == BOOK_STEPS.index("forget"):
        address, parameter = 1, numbers[0] - 1
    return bytes([step | parameter << 4, (address - 1) | more << 3])


def play(name, watch, steps, responders=4, fetches=2):
    first = int(watch) | (responders - 2) << 1 | (fetches - 1) << 3
    write("robot_book", name, bytes([first]) + b"".join(book_step(each) for each in steps.split(", ")))


def book_seeds():
    play(
        "copying_device",
        True,
        "heard 1 1, read 1 1, round, heard 1 1, heard 2 1, read 2 1 renamed, read 1 1, heard 2 1, round, "
        "heard 2 1, heard 1 1, round, heard 2 1, round, round",
    )
    play(
        "two_addresses_one_udn",
        True,
        "heard 1 2, heard 4 2, read 1 2, read 4 2, round, heard 4 2, round, heard 1 2, heard 4 2, round, "
        "heard 4 2 1, bye 4 2, round",
    )
    back = "heard 1 1, read 1 1, bye 1 1, round, heard 1 1 2, read 1 1"
    play("byebye_and_back_in_a_watch", True, back)
    play("byebye_and_back_in_a_window", False, back + ", round, heard 1 2, read 1 2")
    play(
        "interface_forgotten",
        True,
        "heard 1 1, read 1 1, heard 4 2, read 4 2, heard 2 2, read 2 2, heard 5 3, read 5 3, heard 6, fail 6, "
        "forget 2, round 1, heard 1 1, forget 1",
        responders=5,
    )
    flood = ", ".join("skip %d" % address for address in (2, 3, 5, 6, 8) * 2)
    play(
        "flood_beside_robots",
        True,
        "heard 1 1, read 1 1, ask 7, read 7 3, %s, heard 4, heard 5, heard 6, round, %s, heard 1 1, ask 7"
        % (flood, flood),
        fetches=1,
    )
    play(
        "rename_and_stale_reads",
        True,
        "heard 1 1, read 1 1, heard 2 2, read 2 2, round, heard 1 1 1, read 1 2 next, read 1 1 renamed, read 1 1, "
        "fail 2",
    )
    play(
        "address_taken_in_a_window",
        False,
        "heard 1 1, read 1 1, round, heard 1 2, read 1 2, round, heard 1 1 0 moved, read 1 1",
    )
    play(
        "target_asked_and_swept",
        True,
        "ask 7, read 7 3, round, round, round, round, ask 7, fail 7, round, swept 7, round, ask 7, fail 7, round",
    )


# --- a live search's targets: first byte bit 0 = devices on 127/8 stand in
# for a LAN, then the texts, one a line -------------------------------------


def targets(name, texts, loopback_devices=False):
    write("search_targets", name, bytes([int(loopback_devices)]) + "\n".join(texts).encode("latin-1"))


def targets_seeds():
    targets("addresses_and_ranges", ["192.0.2.10", "198.51.100.0/24", "203.0.113.7/32", "198.18.0.4/31"])
    targets("widest_range_at_the_limit", ["10.20.0.0/20"])
    targets("one_over_the_limit", ["10.20.0.0/20", "192.0.2.1"])
    targets("repeats_and_overlaps", ["192.0.2.10", "192.0.2.10", "192.0.2.0/28", "192.0.2.8/29"])
    targets("host_bits_ignored", ["192.0.2.77/28"])
    targets("loopback_refused", ["127.0.0.5"])
    targets("loopback_devices", ["127.0.0.5", "127.1.0.0/30"], loopback_devices=True)
    targets("not_unicast", ["0.0.0.0", "255.255.255.255", "239.255.255.250", "240.0.0.1", "224.0.0.0/30"])
    targets(
        "odd_texts",
        ["", "1.2.3", "1.2.3.4.5", "01.2.3.4", "0x7f.0.0.1", "1.2.3.4/", "1.2.3.4/19", "1.2.3.4/33", "1.2.3.4/020"],
    )
    targets("nul_inside", ["192.0.2.10\x00junk", "192.0.2.11 ", " 192.0.2.12"])


if __name__ == "__main__":
    datagram_seeds()
    description_seeds()
    kinemap_seeds()
    finder_seeds()
    helper_stream_seeds()
    book_seeds()
    targets_seeds()
