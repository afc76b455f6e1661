"""Frame a body, wrap it for the feed WebSocket, and read both forms back."""

import pyostrel

body = b"hello, ring"

# The WebSocket form: a whole frame compressed as one raw Snappy block.
package = pyostrel.NetPackage()
package.set_cmd(pyostrel.cmd_at_fetch_by_code)
package.set_seq(7)
package.set_content(body)
wrapped = package.encode_string()

# The TCP form: raw frames, cut from a stream that arrives in arbitrary pieces.
stream = package.encode_raw() + pyostrel.encode_raw_frame(pyostrel.net_cmd_vask_route_keepalive, 8, b"")
reader = pyostrel.RawFrameReader()
frames = reader.feed(stream[:21]) + reader.feed(stream[21:])
for cmd, seq, version, flag, frame_body in frames:
    print(f"raw frame: cmd=0x{cmd:04x} seq={seq} version={version} flag={flag} body={frame_body!r}")
print(f"bytes still buffered: {reader.pending()}")

received = pyostrel.NetPackage()
received.decode_string(wrapped)
print(f"wrapped frame: {len(wrapped)} bytes -> cmd=0x{received.get_cmd():04x} seq={received.get_seq()} "
      f"length={received.get_length()} content={received.get_content()!r}")
