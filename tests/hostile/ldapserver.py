#!/usr/bin/env python3
"""A scripted LDAP server for hostile tests.

Serves every scenario of a JSON file at once, each on a local socket of its
own (DIR/NAME.sock), until SIGTERM. A scenario is the base directory below
with its own changes: "whoami", "entries" (by DN; null removes one),
"later" (more changes, for every connection after the first: a server whose
schema changes between two runs), "anonymous" (more changes, for a
connection that sends a request before it binds) and "faults", which make
one kind of request misbehave:

  request kinds: bind, whoami, rootdse, entry (a base read of any other DN),
                 subschema, search (one level or subtree)
  faults: drop       close the connection instead of answering
          dropafter  answer, then close the connection
          silent     never answer
          malformed  answer with bytes that are no LDAP message
          error      answer with resultCode 50 (insufficient access)
          escapes    the same, with a text holding a terminal escape and a line break
          referral   answer with a referral to another server
          decoy      send the scenario's "decoy" entry first
          huge       send an entry holding a value of "hugesize" bytes
          flood      send "floodcount" entries
          notice     send a notice of disconnection (message id 0), then close
          noticeafter  answer, then send the notice and close
          slow       answer 16 bytes at a time, a quarter of a second apart
A scenario's "bigvalue" names an attribute that holds "hugesize" bytes
whenever a search asks for every attribute ("*"); its "operational" lists
attributes sent only when a search names them, as servers do for their
operational attributes.

Only what the client sends is supported: SASL binds (always accepted),
"Who am I?", searches with and/or/not/equality/present filters.
"""
import asyncio
import json
import os
import signal
import sys

# --- BER -----------------------------------------------------------------


def length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def octets(text, tag=0x04):
    return tlv(tag, text.encode() if isinstance(text, str) else text)


def integer(n, tag=0x02):
    return tlv(tag, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def sequence(*items, tag=0x30):
    return tlv(tag, b"".join(items))


def parse(data, at=0):
    """One TLV at `at`: (tag, content, next position)."""
    tag = data[at]
    first = data[at + 1]
    at += 2
    if first & 0x80:
        count = first & 0x7F
        size = int.from_bytes(data[at:at + count], "big")
        at += count
    else:
        size = first
    return tag, data[at:at + size], at + size


def children(content):
    at, items = 0, []
    while at < len(content):
        tag, value, at = parse(content, at)
        items.append((tag, value))
    return items


# --- LDAP ----------------------------------------------------------------

BASE = {
    "whoami": "dn:cn=Alice Example,cn=Users,dc=example,dc=test",
    "entries": {
        "": {"namingContexts": ["dc=example,dc=test"], "defaultNamingContext": ["dc=example,dc=test"],
             "configurationNamingContext": ["cn=Configuration,dc=example,dc=test"],
             "subschemaSubentry": ["cn=Subschema"]},
        "cn=Subschema": {
            "modifyTimestamp": ["20261201000000Z"],
            "attributeTypes": [
                "( 2.5.4.0 NAME 'objectClass' SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 )",
                "( 2.5.4.3 NAME 'cn' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
                "( 0.9.2342.19200300.100.1.3 NAME 'mail' SYNTAX 1.3.6.1.4.1.1466.115.121.1.26 )",
                "( 1.2.840.113556.1.4.221 NAME 'sAMAccountName' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
                "( 1.2.840.113556.1.4.656 NAME 'userPrincipalName' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
                "( 2.5.4.13 NAME 'description' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
                "( 1.2.840.113556.1.4.1 NAME 'nETBIOSName' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )",
            ],
            "objectClasses": [
                "( 2.5.6.0 NAME 'top' ABSTRACT MUST objectClass )",
                "( 1.2.840.113556.1.5.9 NAME 'user' SUP top STRUCTURAL MUST cn "
                "MAY ( sAMAccountName $ mail $ userPrincipalName $ description ) )",
            ],
        },
        "cn=Alice Example,cn=Users,dc=example,dc=test": {
            "objectClass": ["top", "user"], "cn": ["Alice Example"], "sAMAccountName": ["alice"],
            "mail": ["alice@example.test"], "userPrincipalName": ["alice@example.test"]},
        # Active Directory's schema objects for the same classes and types,
        # read where the root DSE names a schemaNamingContext.
        "cn=Schema,cn=Configuration,dc=example,dc=test": {"modifyTimeStamp": ["20261201000000.0Z"]},
        "cn=Top,cn=Schema,cn=Configuration,dc=example,dc=test": {
            "objectClass": ["top", "classSchema"], "lDAPDisplayName": ["top"], "governsID": ["2.5.6.0"],
            "subClassOf": ["top"], "objectClassCategory": ["2"], "systemMustContain": ["objectClass"]},
        "cn=User,cn=Schema,cn=Configuration,dc=example,dc=test": {
            "objectClass": ["top", "classSchema"], "lDAPDisplayName": ["user"],
            "governsID": ["1.2.840.113556.1.5.9"], "subClassOf": ["top"], "objectClassCategory": ["1"],
            "mustContain": ["cn"], "mayContain": ["sAMAccountName", "mail", "userPrincipalName", "description"]},
        **{"cn=%s,cn=Schema,cn=Configuration,dc=example,dc=test" % name: {
            "objectClass": ["top", "attributeSchema"], "lDAPDisplayName": [name], "attributeID": [oid],
            "attributeSyntax": [syntax], "oMSyntax": [om]} for name, oid, syntax, om in (
                ("objectClass", "2.5.4.0", "2.5.5.2", "6"), ("cn", "2.5.4.3", "2.5.5.12", "64"),
                ("mail", "0.9.2342.19200300.100.1.3", "2.5.5.5", "22"),
                ("sAMAccountName", "1.2.840.113556.1.4.221", "2.5.5.12", "64"),
                ("userPrincipalName", "1.2.840.113556.1.4.656", "2.5.5.12", "64"),
                ("description", "2.5.4.13", "2.5.5.12", "64"))},
        "cn=EXAMPLE,cn=Partitions,cn=Configuration,dc=example,dc=test": {
            "objectClass": ["top", "crossRef"], "nCName": ["dc=example,dc=test"], "nETBIOSName": ["EXAMPLE"]},
    },
    "faults": {},
    "decoy": {"dn": "cn=Mallory,cn=Users,dc=example,dc=test",
              "attributes": {"objectClass": ["top", "user"], "cn": ["Mallory"], "mail": ["mallory@evil.test"]}},
    "hugesize": 80 * 1024 * 1024,
    "floodcount": 100000,
}


def scenario(changes):
    merged = json.loads(json.dumps(BASE))
    for key, value in changes.items():
        if key == "entries":
            for dn, attributes in value.items():
                if attributes is None:
                    merged["entries"].pop(dn, None)
                else:
                    merged["entries"][dn] = attributes
        else:
            merged[key] = value
    return merged


def result(op, code=0, text="", extra=b""):
    return sequence(integer(code, 0x0A), octets(""), octets(text), extra, tag=op)


def entry(dn, attributes):
    return sequence(octets(dn), sequence(*(sequence(octets(name), sequence(*(octets(v) for v in values), tag=0x31))
                                           for name, values in attributes.items())), tag=0x64)


def norm(dn):
    return ",".join(part.strip() for part in dn.lower().split(","))


def matches(filt, attributes):
    tag, content = filt
    lowered = {name.lower(): [v.lower() for v in values] for name, values in attributes.items()}
    if tag == 0xA0:
        return all(matches(f, attributes) for f in children(content))
    if tag == 0xA1:
        return any(matches(f, attributes) for f in children(content))
    if tag == 0xA2:
        return not matches(children(content)[0], attributes)
    if tag == 0x87:
        return content.decode().lower() in lowered
    if tag == 0xA3:
        (_, name), (_, value) = children(content)
        return value.decode().lower() in lowered.get(name.decode().lower(), [])
    return False


class Connection:
    def __init__(self, script, anonymous, reader, writer):
        self.bound, self.reader, self.writer = script, reader, writer
        self.script = anonymous

    async def message(self):
        head = await self.reader.readexactly(2)
        if head[0] != 0x30:
            raise ValueError("no LDAP message")
        count = head[1] & 0x7F if head[1] & 0x80 else 0
        size = int.from_bytes(await self.reader.readexactly(count), "big") if count else head[1]
        return await self.reader.readexactly(size)

    def send(self, msgid, *ops):
        self.writer.write(b"".join(sequence(integer(msgid), op) for op in ops))

    def kind(self, op, content):
        if op == 0x60:
            return "bind"
        if op == 0x77:
            return "whoami"
        base = children(content)[0][1].decode()
        scope = int.from_bytes(children(content)[1][1], "big")
        if scope != 0:
            return "search"
        if base == "":
            return "rootdse"
        return "subschema" if norm(base) == norm("cn=Subschema") else "entry"

    def answer(self, op, content, fault):
        """The protocol ops that answer one request, one after the other."""
        if op == 0x60:
            yield result(0x61)
            return
        if op == 0x77:
            who = self.script["whoami"]
            yield result(0x78, 53, "unwilling") if who is None else result(0x78, extra=octets(who, 0x8B))
            return
        fields = children(content)
        base, scope = fields[0][1].decode(), int.from_bytes(fields[1][1], "big")
        requested = [value.decode().lower() for _, value in children(fields[7][1])] if len(fields) > 7 else []
        if fault == "referral":
            yield result(0x65, 10, "", sequence(octets("ldap://elsewhere.test/"), tag=0xA3))
            return
        if fault in ("error", "escapes"):
            yield result(0x65, 50, "insufficient access" if fault == "error" else "denied\x1b[2J\nforged")
            return
        if fault == "decoy":
            yield entry(self.script["decoy"]["dn"], self.script["decoy"]["attributes"])
        if fault == "huge":
            yield entry(base, {"description": ["x" * self.script["hugesize"]]})
        if fault == "flood":
            for i in range(self.script["floodcount"]):
                yield entry("cn=u%d,%s" % (i, base), {"objectClass": ["top", "user"]})
        found = False
        for dn, attributes in self.script["entries"].items():
            below = norm(dn).endswith("," + norm(base)) if base else True
            if scope == 0:
                hit = norm(dn) == norm(base)
            elif scope == 1:
                hit = below and norm(dn).split(",", 1)[-1] == norm(base) and matches(fields[6], attributes)
            else:
                hit = below and dn != "" and matches(fields[6], attributes)
            if hit:
                found = True
                hidden = [name.lower() for name in self.script.get("operational", [])]
                attributes = {n: v for n, v in attributes.items() if n.lower() not in hidden or n.lower() in requested}
                if requested and "*" not in requested:
                    attributes = {n: v for n, v in attributes.items() if n.lower() in requested}
                elif "bigvalue" in self.script:
                    attributes = dict(attributes)
                    attributes.update({self.script["bigvalue"]: ["x" * self.script["hugesize"]]})
                yield entry(dn, attributes)
        yield result(0x65, 32, "no such object") if scope == 0 and not found else result(0x65)

    async def serve(self):
        try:
            while True:
                data = await self.message()
                (_, idbytes), (op, content), *_ = children(data)
                msgid = int.from_bytes(idbytes, "big")
                if op in (0x42, 0x50):  # unbind, abandon
                    if op == 0x42:
                        break
                    continue
                if op == 0x60:
                    self.script = self.bound
                fault = self.script["faults"].get(self.kind(op, content))
                if fault == "drop":
                    break
                if fault == "silent":
                    continue
                if fault == "notice":
                    # Once the client has sent the rest of its round, so that
                    # the notice, not a write to a closed socket, ends it.
                    try:
                        while True:
                            await asyncio.wait_for(self.message(), 0.3)
                    except asyncio.TimeoutError:
                        pass
                    self.send(0, result(0x78, 52, "going away", octets("1.3.6.1.4.1.1466.20036", 0x8A)))
                    await self.writer.drain()
                    break
                if fault == "slow":
                    data = b"".join(sequence(integer(msgid), answer) for answer in self.answer(op, content, None))
                    for at in range(0, len(data), 16):
                        self.writer.write(data[at:at + 16])
                        await self.writer.drain()
                        await asyncio.sleep(0.25)
                    continue
                if fault == "malformed":
                    self.writer.write(b"\x30\x84\xff\xff\x00\x10garbage that is no ber")
                    await self.writer.drain()
                    continue
                for answer in self.answer(op, content, fault):
                    self.send(msgid, answer)
                    if self.writer.transport.get_write_buffer_size() > 1 << 20:
                        await self.writer.drain()
                await self.writer.drain()
                if fault == "noticeafter":
                    self.send(0, result(0x78, 52, "going away", octets("1.3.6.1.4.1.1466.20036", 0x8A)))
                    await self.writer.drain()
                if fault in ("dropafter", "noticeafter"):
                    break
        except (asyncio.IncompleteReadError, ConnectionError, ValueError, IndexError):
            pass
        self.writer.close()


async def main(path, directory):
    with open(path) as file:
        scenarios = json.load(file)
    servers = []
    for name, changes in scenarios.items():
        first = scenario(changes)
        later = scenario(dict(changes, **changes.get("later", {})))
        anonymous = scenario(dict(changes, **changes.get("anonymous", {})))
        socket = os.path.join(directory, name + ".sock")
        if os.path.exists(socket):
            os.unlink(socket)
        served = [0]

        def handler(reader, writer, first=first, later=later, anonymous=anonymous, served=served):
            served[0] += 1
            return Connection(first if served[0] == 1 else later, anonymous, reader, writer).serve()
        servers.append(await asyncio.start_unix_server(handler, socket))
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    with open(os.path.join(directory, "ready"), "w"):
        pass
    await stop.wait()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2]))
