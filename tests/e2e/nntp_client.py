"""A small NNTP reader for the end-to-end tests and the demo (RFC 3977)."""
import socket


class NntpReader:
    def __init__(self, host="127.0.0.1", port=119, timeout=30):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.file = self.sock.makefile("rb")
        greeting = self._line()
        if not greeting.startswith("20"):
            raise RuntimeError("greeting: " + greeting)

    def _line(self):
        raw = self.file.readline()
        if not raw:
            raise RuntimeError("connection closed")
        return raw.rstrip(b"\r\n").decode("latin-1")

    def command(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")
        return self._line()

    def _multiline(self):
        lines = []
        while True:
            raw = self.file.readline()
            if raw in (b".\r\n", b".\n"):
                return lines
            if raw.startswith(b".."):
                raw = raw[1:]
            lines.append(raw)

    def overview(self, group):
        """(number, subject, message-id) of every article in the group."""
        reply = self.command("GROUP " + group)
        if not reply.startswith("211"):
            raise RuntimeError(reply)
        _, count, first, last = reply.split()[:4]
        if int(count) == 0:
            return []
        reply = self.command("OVER %s-%s" % (first, last))
        if not reply.startswith("224"):
            raise RuntimeError(reply)
        result = []
        for raw in self._multiline():
            fields = raw.rstrip(b"\r\n").decode("latin-1").split("\t")
            result.append((int(fields[0]), fields[1], fields[4]))
        return result

    def article(self, message_id):
        reply = self.command("ARTICLE " + message_id)
        if not reply.startswith("220"):
            raise RuntimeError(reply)
        return b"".join(self._multiline())

    def close(self):
        try:
            self.command("QUIT")
        finally:
            self.sock.close()
