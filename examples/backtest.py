"""Start a backtest: fill its parameters, encode the request, frame it for the wire and read
the frame back; then decode the reply that names the backtest's session and address."""

import struct

import pyostrel

# --- The parameters: one input universe, one output universe with a sampler. ---
bars = pyostrel.UniverseInImport()
bars.set_namespace(b"global")
bars.set_qualified_name(b"bar.daily")
bars.set_revision(1)
bars.set_fields([b"close", b"volume"])

shanghai = pyostrel.SecuritySelector()
shanghai.set_market(b"SH")
shanghai.set_codes([b"600000", b"600036"])

universe_in = pyostrel.UniverseIn()
universe_in.set_imports({b"bars": bars})
universe_in.set_securities([shanghai])

sampler = pyostrel.SamplerConfiguration()
sampler.set_markets([b"SH"])
sampler.set_granularities([300, 86400])  # seconds
sampler.set_tm_as_of_eod(True)

universe_out = pyostrel.UniverseOut()
universe_out.set_sampler(sampler)

params = pyostrel.BacktestParams()
params.set_runtime(pyostrel.runtime_type_backtest)
params.set_start_time(1704067200000)  # 2024-01-01 00:00 UTC, epoch ms
params.set_end_time(1706745600000)  # 2024-02-01 00:00 UTC
params.set_graunlarity(86400)
params.set_restore_length(20)
params.set_universe_in({b"main": universe_in})
params.set_universe_out({b"main": universe_out})

req = pyostrel.ATStartBacktestReq()
req.set_seq(11)
req.set_token(b"session-token")
req.set_category(pyostrel.category_indicator)
req.set_target_id(7)
req.set_revision(1)
req.set_is_managed(False)
req.set_original_content(b"")
req.set_parameters(params)
body = req.encode()
seq, token_len = struct.unpack_from(">iI", body)
print(f"request body: {len(body)} bytes, seq={seq}, token={body[8:8 + token_len]!r}")

# --- The TCP form: one raw frame, read back by a frame reader. ---
package = pyostrel.NetPackage()
package.set_cmd(pyostrel.cmd_at_start_backtest)
package.set_seq(req.get_seq())
package.set_content(body)
frame = package.encode_raw()
(cmd, frame_seq, version, flag, frame_body), = pyostrel.RawFrameReader().feed(frame)
print(f"raw frame: {len(frame)} bytes, cmd=0x{cmd:04x} seq={frame_seq} version={version} flag={flag}, "
      f"body {'intact' if frame_body == body else 'CHANGED'}")

# --- The reply, built here as the service would send it. ---


def text(s: bytes) -> bytes:
    return struct.pack(">I", len(s)) + s


reply_body = struct.pack(">iii", frame_seq, 1, 0) + text(b"") + struct.pack(">q", 90001) + text(b"10.0.0.5:7101")
res = pyostrel.ATStartBacktestRes()
res.decode(reply_body)
print(f"reply: seq={res.get_seq()} status={res.get_status()} error_code={res.get_error_code()} "
      f"error_msg={res.get_error_msg()!r} session_id={res.get_session_id()} bt_address={res.get_bt_address()!r}")
