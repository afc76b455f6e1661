"""pyostrel-inspect and the generated Wireshark dissector on the committed loopback captures (tests/captures/,
recorded by tools/record_captures.py): reassembly of damaged segment streams, agreement of the two on every
field of every frame, and captures cut and corrupted at random."""

import io
import json
import os
import random
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

import pyostrel_inspect
from pyostrel_inspect import Inspector, _ip, _tcp, read_capture
from pyostrel_inspect.layouts import LAYOUTS, MAGIC, TRAILERS

ROOT = Path(__file__).resolve().parents[2]
CAPTURES = ROOT / "tests" / "captures"
SCHEMA = (CAPTURES / "trading-schema.bin").read_bytes()
LUA = ROOT / "tools" / "wireshark" / "pyostrel.lua"
TSHARK = shutil.which("tshark")
needs_tshark = pytest.mark.skipif(TSHARK is None, reason="tshark not installed (make test installs it)")
# tshark runs without the sanitizer runtime that the sanitizer build preloads into the interpreter.
TSHARK_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def segments(name):
    """[(number, time, src, dst, seq, flags, payload)] of a capture's TCP segments."""
    with open(CAPTURES / name, "rb") as f:
        return [(n, ts, *_tcp(_ip(lt, data))) for n, (ts, lt, data) in enumerate(read_capture(f), 1)]


def inspect_segments(segs, **kw):
    insp = Inspector(schema=SCHEMA, **kw)
    for seg in segs:
        insp.segment(*seg)
    insp.finish()
    return insp.out


def frames(records):
    """The frames of each direction in order (damage may change how the two directions interleave)."""
    return sorted(({k: r.get(k) for k in ("src", "cmd", "seq", "class", "fields", "rows", "error")}
                   for r in records if r["event"] == "frame"), key=lambda f: f["src"])


def split(segs, size=3):
    return [(n, ts, s, d, (seq + i) & 0xFFFFFFFF, fl, p[i:i + size])
            for n, ts, s, d, seq, fl, p in segs for i in range(0, max(len(p), 1), size)]


def swap_pairs(segs):
    out = list(segs)
    for i in range(0, len(out) - 1, 2):
        if out[i][5] & 0x02 == 0 and out[i + 1][5] & 0x02 == 0:
            out[i], out[i + 1] = out[i + 1], out[i]
    return out


def retransmit(segs):
    """Every segment twice, and each one again as an overlap: its second half plus the next segment's first."""
    out = []
    for a, b in zip(segs, segs[1:] + [None]):
        out += [a, a]
        if b and a[2] == b[2] and a[6] and b[4] == (a[4] + len(a[6])) & 0xFFFFFFFF:
            half = len(a[6]) // 2
            out.append(a[:4] + ((a[4] + half) & 0xFFFFFFFF, a[5], a[6][half:] + b[6][:len(b[6]) // 2]))
    return out


def mid_stream(segs, cut=5):
    """Without the handshake, and the first data segment of the client starting `cut` bytes in."""
    out, client = [], None
    for seg in segs:
        if seg[5] & 0x02:
            client = client or seg[2]
            continue
        if seg[2] == client and seg[6] and cut:
            seg, cut = seg[:4] + ((seg[4] + cut) & 0xFFFFFFFF, seg[5], seg[6][cut:]), 0
        out.append(seg)
    return out


@pytest.mark.parametrize("capture", ["storage.pcapng", "trading.pcapng"])
@pytest.mark.parametrize("damage", [split, swap_pairs, lambda s: swap_pairs(split(s, 7)), retransmit,
                                    lambda s: retransmit(split(s, 11)), mid_stream],
                         ids=["split", "reorder", "split-reorder", "retransmit", "split-retransmit", "mid-stream"])
def test_reassembly_recovers_every_frame(capture, damage):
    segs = segments(capture)
    records = inspect_segments(segs)
    clean = frames(records)
    assert len(clean) >= 8 and all(f["class"] is None or "fields" in f or "error" in f for f in clean)
    port = int(segs[0][3].rsplit(":", 1)[1])  # the SYN's destination
    got = inspect_segments(damage(segs), ports={port})
    if damage is mid_stream:  # the first frame of the client is lost, and its bytes reported as skipped
        skipped = [r for r in got if r["event"] == "skipped"]
        assert [r["bytes"] for r in skipped] == [records[0]["total_len"] + 8 - 5]
        first = next(i for i, f in enumerate(clean) if f["src"] == segs[0][2])
        del clean[first]
    assert frames(got) == clean
    assert all(r["event"] in ("frame", "skipped") for r in got)


def test_lost_segment_is_a_gap_then_a_resync():
    """The middle third of a request that took three segments never arrives: that frame is reported cut short,
    the hole and the bytes up to the next magic are said, and every other frame comes through."""
    segs = segments("trading.pcapng")
    clean = frames(inspect_segments(segs))
    lost = [s for s in segs if s[0] == 10]
    assert len(lost) == 1 and 0 < len(lost[0][6]) < 60
    got = inspect_segments([s for s in segs if s[0] != 10])
    assert [(r["event"], r.get("bytes")) for r in got if r["event"] != "frame"] == [
        ("frame_error", None), ("gap", len(lost[0][6])), ("skipped", 36)]
    assert frames(got) == [f for f in clean if f["cmd"] != 0x5006 or f["class"] != "ATFetchByCodeReq"]


def tshark_frames(capture):
    out = subprocess.run([TSHARK, "-r", str(CAPTURES / capture), "-X", f"lua_script:{LUA}", "-o",
                          "tcp.try_heuristic_first:TRUE", "-T", "json", "--no-duplicate-keys", "-J", "pyostrel"],
                         capture_output=True, text=True, timeout=120, check=True, env=TSHARK_ENV)
    assert "Lua" not in out.stderr, out.stderr
    layers = []
    for packet in json.loads(out.stdout):
        found = packet["_source"]["layers"].get("pyostrel", [])
        for layer in found if isinstance(found, list) else [found]:
            layers.append((int(packet["_source"]["layers"].get("frame", {}).get("frame.number", 0) or 0), layer))
    return [layer for _, layer in layers]


def check(kind, value, layer, abbrev):
    """Asserts that the dissector's items under abbrev hold the inspector's value; returns how many it compared."""
    if isinstance(kind, str):
        shown = layer[abbrev]
        if kind == "f64":
            assert float(shown) == value, abbrev
        elif kind == "bool":
            assert shown == str(int(value)), abbrev
        elif kind in ("bytes", "rows"):
            assert shown.replace(":", "") == value, abbrev
        else:
            assert shown == str(value), abbrev
        return 1
    if kind[0] in ("vec", "rawvec"):
        assert int(layer[abbrev]) == len(value), abbrev
        items = layer.get(abbrev + "_tree", {}).get(abbrev + ".item", [])
        items = items if isinstance(items, list) else [items]
        if isinstance(kind[1], str) or kind[0] == "rawvec":
            assert [str(v) for v in value] == items, abbrev
        return 1
    if kind[0] == "rec":
        sub = layer[abbrev] if isinstance(layer[abbrev], dict) else layer[abbrev + "_tree"]
        return sum(check(k, value[f], sub, f"pyostrel.{kind[1]}.{f}") for f, k in LAYOUTS[kind[1]] if f in value)
    return 0


@needs_tshark
@pytest.mark.parametrize("capture", ["storage.pcapng", "trading.pcapng"])
def test_dissector_and_inspector_agree(capture):
    ours = [r for r in inspect_segments(segments(capture)) if r["event"] == "frame"]
    theirs = tshark_frames(capture)
    assert len(ours) == len(theirs) >= 8
    compared = 0
    for rec, layer in zip(ours, theirs):
        head = {k: layer[f"pyostrel.{k}"] for k in ("total_len", "version", "seq", "flag")}
        assert head == {k: str(rec[k]) for k in head} and int(layer["pyostrel.cmd"], 16) == rec["cmd"]
        assert layer.get("pyostrel.class") == rec["class"]
        assert ("error" in rec) == ("pyostrel.malformed" in layer.get("_ws.expert", {})), rec
        trailer = TRAILERS.get(rec["class"], (None,))[0]
        for i, (field, kind) in enumerate(LAYOUTS.get(rec["class"], ())):
            absent = f"pyostrel.{rec['class']}.{field}" not in layer
            if absent and trailer is not None and i >= trailer:  # the getters give a trailer's defaults
                continue
            if field in rec.get("fields", {}):
                compared += check(kind, rec["fields"][field], layer, f"pyostrel.{rec['class']}.{field}")
    assert compared >= 3 * len(ours)


def corrupt(data, rng):
    if rng.random() < 0.5:
        data = data[:rng.randrange(len(data) // 2, len(data))]
    data = bytearray(data)
    for _ in range(rng.randrange(1, 12)):
        at = rng.randrange(len(data))
        data[at] = rng.randrange(256) if rng.random() < 0.8 else MAGIC >> 24
    return bytes(data)


def test_corrupted_input_gives_error_lines_and_expert_info(tmp_path):
    """Captures cut and corrupted at random, and raw streams of frames with damaged headers: the inspector
    ends every one without raising, and the dissector without a Lua error. Each side has a time budget."""
    rng = random.Random(20261209)
    originals = [(CAPTURES / c).read_bytes() for c in ("storage.pcapng", "trading.pcapng")]
    frame = pyostrel_inspect.pyostrel.encode_raw_frame
    stream = b"".join(frame(0x5006, i, bytes(range(i % 40))) for i in range(60))
    errors, deadline = 0, time.monotonic() + 5
    written = []
    while time.monotonic() < deadline:
        path = tmp_path / f"c{len(written)}.pcapng"
        path.write_bytes(corrupt(rng.choice(originals), rng))
        out = io.StringIO()
        signal.setitimer(signal.ITIMER_REAL, 10)  # a hang ends the test with the alarm's error
        try:
            assert _run(path, out) in (0, 2)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert "internal_error" not in out.getvalue()
        errors += out.getvalue().count('"error"')
        raw = Inspector()
        for piece in range(0, len(stream), 97):
            raw.stream(corrupt(stream[piece:piece + 97], rng) if rng.random() < 0.3 else stream[piece:piece + 97])
        raw.finish()
        errors += sum("error" in r for r in raw.out)
        written.append(path)
    assert len(written) >= 10 and errors > len(written)
    if TSHARK is None:
        return
    # A spread of a dozen first, then the rest until one shows a finding: a slow build writes few captures, and a
    # few random corruptions may all land where the dissector has nothing to say.
    spread = written[:: max(1, len(written) // 12)][:12]
    findings = 0
    for n, path in enumerate(spread + [p for p in written if p not in spread]):
        if n >= len(spread) and findings:
            break
        out = subprocess.run([TSHARK, "-r", str(path), "-X", f"lua_script:{LUA}", "-o", "pyostrel.ports:7400",
                              "-o", "tcp.try_heuristic_first:TRUE", "-V"], capture_output=True, text=True,
                             timeout=60, env=TSHARK_ENV)
        text = out.stdout + out.stderr
        assert "Lua Error" not in text and "dissector: " not in text, text[-2000:]
        assert "Malformed Packet: PYOSTREL" not in text, text[-2000:]  # an exception out of the dissector
        findings += text.count("decode: ") + text.count("skipped ") + text.count("is smaller than header")
    assert findings > 0


def _run(path, out):
    """The command line's run() on a capture, in this process, its JSON lines written to out."""
    args = pyostrel_inspect.argparse.Namespace(
        capture=str(path), raw=False, direction="client", schema=str(CAPTURES / "trading-schema.bin"), port=[],
        cmd=[], cls=[], connection=[], summary=False)
    try:
        return pyostrel_inspect.run(args, out.write)
    except pyostrel_inspect.CaptureError:
        return 2


@pytest.mark.parametrize("argv, commands", [
    (["--cmd", "cmd_at_fetch_by_code"], {"cmd_at_fetch_by_code"}),
    (["--cmd", "0x5026,cmd_ta_push_progress"], {"cmd_ta_push_log", "cmd_ta_push_progress"}),
    (["--class", "ATFetchSVRes"], {"cmd_at_fetch_by_code", "cmd_at_fetch_by_time"}),
    (["--connection", "127.0.0.1:1"], set()),
    (["--connection", "7400", "--class", "LogRes,ProgressRes"], {"cmd_ta_push_log", "cmd_ta_push_progress"}),
])
def test_filters(argv, commands, capsys):
    assert pyostrel_inspect.main([str(CAPTURES / "trading.pcapng"), *argv]) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert {r["command"] for r in lines} == commands and all(r["event"] == "frame" for r in lines)


def test_summary_and_raw_stream(tmp_path, capsys):
    assert pyostrel_inspect.main([str(CAPTURES / "trading.pcapng"), "--summary"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["commands"]["cmd_at_universe_seeds"] == 4 and summary["frames"] == sum(summary["commands"].values())
    assert [e["error"] for e in summary["errors"]] == ["ATUniverseSeedsReq decode: unexpected end of input: "
                                                        "needed 2 more bytes"]
    frame = pyostrel_inspect.pyostrel.encode_raw_frame
    (tmp_path / "s.bin").write_bytes(b"junk" + frame(0x6001, 1, b"\x01\x00\x00\x00") + frame(0x6001, 2, b"")[:-3])
    assert pyostrel_inspect.main([str(tmp_path / "s.bin"), "--raw"]) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [(r["event"], r.get("fields"), r.get("bytes")) for r in lines] == [
        ("skipped", None, 4), ("frame", {"utc_now": 1}, None), ("frame_error", None, None)]
