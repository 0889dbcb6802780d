#!/usr/bin/env python3
"""A DNS-over-HTTPS server (RFC 8484's GET) that misbehaves, by path, until it is killed:

    bad_https.py ADDRESS PORT CERTIFICATE KEY [HANDSHAKE_MS]

/status answers 503; /html answers 200 with a web page; /other answers 200 with a DNS reply to
another question; /stall never answers; /cut promises a body and closes half-way; /slow answers
every name with the address 198.19.7.7 after 60 ms, one query at a time per connection; /redirect
sets a cookie and redirects to /slow, and answers as /slow a request that brings a cookie;
/trickle answers as /slow, a name whose first label begins with "t" a byte every half second. With
HANDSHAKE_MS, as a server far away, each connection waits that long before its handshake, and one
idle for a second is closed.
"""
import base64
import http.server
import socketserver
import ssl
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The handshake's small writes go at once, not held for the client's delayed ACK.
    disable_nagle_algorithm = True

    def log_message(self, *_):
        pass

    def setup(self):
        time.sleep(HANDSHAKE_DELAY)
        super().setup()

    def reply(self, status, content_type, body, length=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path, _, parameters = self.path.partition("?")
        encoded = urllib.parse.parse_qs(parameters)["dns"][0]
        query = base64.urlsafe_b64decode(encoded + "=" * (-len(encoded) % 4))
        if path == "/status":
            self.reply(503, "text/plain", b"busy")
        elif path == "/html":
            self.reply(200, "text/html", b"<html>not here</html>")
        elif path == "/other":
            # The same id, a response with no record, to the question "other.test A".
            other = b"\x05other\x04test\x00\x00\x01\x00\x01"
            self.reply(200, "application/dns-message",
                       query[:2] + b"\x81\x80\x00\x01\x00\x00\x00\x00\x00\x00" + other)
        elif path == "/stall":
            time.sleep(30)
        elif path == "/redirect" and "Cookie" not in self.headers:
            self.send_response(302)
            self.send_header("Set-Cookie", "id=1; Path=/")
            self.send_header("Location", "/slow?" + parameters)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path in ("/slow", "/redirect", "/trickle"):
            time.sleep(0.06)
            question = query[12:query.index(0, 12) + 5]
            answer = b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\xc6\x13\x07\x07"
            reply = query[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00" + question + answer
            trickled = reply if path == "/trickle" and query[13:14] == b"t" else b""
            self.reply(200, "application/dns-message", reply[:len(reply) - len(trickled)],
                       length=len(reply))
            for byte in trickled:
                time.sleep(0.5)
                self.wfile.write(bytes([byte]))
        elif path == "/cut":
            self.reply(200, "application/dns-message", query[:8], length=100)
            self.close_connection = True


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # Room for a client's connections opened at once: a connect dropped from a full backlog
    # waits a second for its retry.
    request_queue_size = 64


HANDSHAKE_DELAY = 0.0

if __name__ == "__main__":
    if len(sys.argv) > 5:
        HANDSHAKE_DELAY = int(sys.argv[5]) / 1000
        Handler.timeout = 1
    server = Server((sys.argv[1], int(sys.argv[2])), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[3], sys.argv[4])
    # Each connection's handshake on its own thread, not one after another in the accepting one.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    server.serve_forever()
