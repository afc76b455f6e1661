-- The dissector proper (tools/wireshark/runtime.lua, appended to the generated tables above).
-- Frames are cut with Wireshark's own TCP reassembly (dissect_tcp_pdus); each body is read field by field
-- from LAYOUTS inside pcall, so a body that does not fit its layout becomes expert info, never a Lua error.

local proto = Proto("pyostrel", "pyostrel ring frame")

local CMD_NAMES = {}
for value, c in pairs(COMMANDS) do CMD_NAMES[value] = c[1] end

local hf = {
  magic = ProtoField.uint32("pyostrel.magic", "Magic", base.HEX),
  total_len = ProtoField.uint32("pyostrel.total_len", "Total length"),
  version = ProtoField.uint8("pyostrel.version", "Version"),
  seq = ProtoField.uint32("pyostrel.seq", "Sequence number"),
  flag = ProtoField.uint8("pyostrel.flag", "Flag"),
  cmd = ProtoField.uint16("pyostrel.cmd", "Command", base.HEX, CMD_NAMES),
  class = ProtoField.string("pyostrel.class", "Body class"),
  body = ProtoField.bytes("pyostrel.body", "Body"),
  skipped = ProtoField.uint32("pyostrel.skipped", "Bytes skipped before the next frame magic"),
}
local fields = {}
for _, f in pairs(hf) do fields[#fields + 1] = f end
local pf = {}
for abbrev, t in pairs(FIELD_TYPES) do
  local label = abbrev:match("^pyostrel%.[^.]+%.(.+)$")
  if t == "none" then
    pf[abbrev] = ProtoField.none(abbrev, label)
  elseif t == "bool" then
    pf[abbrev] = ProtoField.bool(abbrev, label)
  else
    pf[abbrev] = ProtoField[t](abbrev, label)
  end
  fields[#fields + 1] = pf[abbrev]
end
proto.fields = fields

local ef_malformed = ProtoExpert.new("pyostrel.malformed", "Body does not decode",
                                     expert.group.MALFORMED, expert.severity.ERROR)
local ef_frame = ProtoExpert.new("pyostrel.bad_frame", "Frame error", expert.group.MALFORMED, expert.severity.ERROR)
local ef_skipped = ProtoExpert.new("pyostrel.resync", "Bytes skipped to resynchronise on the frame magic",
                                   expert.group.SEQUENCE, expert.severity.WARN)
proto.experts = {ef_malformed, ef_frame, ef_skipped}

proto.prefs.ports = Pref.range("Server TCP ports", "", "TCP ports of ring members (the heuristic on the frame "
                               .. "magic finds the others)", 65535)
proto.prefs.heuristic = Pref.bool("Find frames by their magic", true, "Claim TCP streams whose payload "
                                  .. "starts with the frame magic")

-- The server of each TCP stream: the port a SYN went to, seen by the tracker below.
local f_syn = Field.new("tcp.flags.syn")
local f_ack = Field.new("tcp.flags.ack")
local f_stream = Field.new("tcp.stream")
local f_dstport = Field.new("tcp.dstport")
local servers = {}
local tracker = Proto("pyostrel_conn", "pyostrel connection tracker")
function tracker.dissector()
  local syn, ack, stream = f_syn(), f_ack(), f_stream()
  if syn and syn.value and ack and not ack.value and stream then
    servers[stream.value] = f_dstport().value
  end
end
register_postdissector(tracker)

local port_set = {}
local function in_ports(port) return port_set[port] == true end

local function parse_ports(text)
  local set = {}
  for part in tostring(text or ""):gmatch("[^,]+") do
    local lo, hi = part:match("^%s*(%d+)%s*%-%s*(%d+)%s*$")
    if not lo then lo = part:match("^%s*(%d+)%s*$"); hi = lo end
    if lo then for p = tonumber(lo), tonumber(hi) do set[p] = true end end
  end
  return set
end

-- From the client: the stream's SYN went to dst; else the one port in the preference; else the lower port.
local function from_client(pinfo)
  local stream = f_stream()
  local server = stream and servers[stream.value]
  if server then return pinfo.dst_port == server end
  local s, d = in_ports(pinfo.src_port), in_ports(pinfo.dst_port)
  if s ~= d then return d end
  return pinfo.dst_port < pinfo.src_port
end

-- A body reader: c = {tvb, off, stop, vals}; fail() raises a table that pcall hands back.
local function fail(msg) error({msg = msg}, 0) end
local function need(c, n)
  local left = c.stop - c.off
  if left < n then fail("unexpected end of input: needed " .. (n - left) .. " more bytes") end
end

local INTS = {u8 = 1, u16 = 2, u32 = 4, u64 = 8, i16 = 2, i32 = 4, i64 = 8, f64 = 8, bool = 1, le_i32 = 4}

local read_kind

local function read_text(c, tree, abbrev)
  need(c, 4)
  local n = c.tvb(c.off, 4):uint()
  c.off = c.off + 4
  need(c, n)
  c.off = c.off - 4
  local item
  if FIELD_TYPES[abbrev] == "string" then  -- the item spans the length prefix too; its value is the text
    item = tree:add(pf[abbrev], c.tvb(c.off, 4 + n), n > 0 and c.tvb(c.off + 4, n):raw() or "")
  elseif n > 0 then  -- bytes take their value from the range itself (a Lua string value is cut at a NUL)
    item = tree:add(pf[abbrev], c.tvb(c.off + 4, n))
  else
    item = tree:add(pf[abbrev], c.tvb(c.off, 4), "")
  end
  c.off = c.off + 4 + n
  return item, n
end

local function read_count(c, tree, abbrev)
  need(c, 4)
  local n = c.tvb(c.off, 4):uint()
  local item = tree:add(pf[abbrev], c.tvb(c.off, 4))
  c.off = c.off + 4
  return n, item
end

local function read_record(c, tree, cls)
  local trailer = TRAILERS[cls]
  for i, f in ipairs(LAYOUTS[cls]) do
    if trailer and i == trailer[1] + 1 then
      if c.stop - c.off < 4 or (trailer[2] and c.vals.error_code ~= 0) then return end
    end
    read_kind(c, tree, "pyostrel." .. cls .. "." .. f[1], f[2])
    if f[1] == "error_code" then c.vals.error_code = c.last end
  end
end

read_kind = function(c, tree, abbrev, k)
  if type(k) == "string" then
    local w = INTS[k]
    if w then
      need(c, w)
      local range = c.tvb(c.off, w)
      if k == "le_i32" then tree:add_le(pf[abbrev], range) else tree:add(pf[abbrev], range) end
      if w <= 4 and k ~= "f64" then c.last = (k == "le_i32") and range:le_int() or range:int() end
      c.off = c.off + w
    elseif k == "string" then
      read_text(c, tree, abbrev)
    else  -- bytes, rows
      local _, n = read_text(c, tree, abbrev)
      if k == "rows" then tree:add(pf[abbrev .. ".length"], c.tvb(c.off - 4 - n, 4)) end
    end
    return
  end
  local kind = k[1]
  if kind == "vec" or kind == "map" then
    local n, sub = read_count(c, tree, abbrev)
    for _ = 1, n do
      if kind == "map" then read_text(c, sub, abbrev .. ".key") end
      read_kind(c, sub, abbrev .. ".item", k[2])
    end
  elseif kind == "rawvec" then
    local n, sub = read_count(c, tree, abbrev)
    local w = INTS[k[2]]
    need(c, n * w)
    for _ = 1, n do
      sub:add_le(pf[abbrev .. ".item"], c.tvb(c.off, w))
      c.off = c.off + w
    end
  elseif kind == "tuple" then
    local sub = tree:add(pf[abbrev], c.tvb(c.off, 0))
    for i, part in ipairs(k[2]) do read_kind(c, sub, abbrev .. "." .. i, part) end
  elseif kind == "rec" then
    local sub = tree:add(pf[abbrev], c.tvb(c.off, 0))
    read_record(c, sub, k[2])
  elseif kind == "opt" then
    need(c, 1)
    local tag = c.tvb(c.off, 1):uint()
    local sub = tree:add(pf[abbrev], c.tvb(c.off, 1))
    c.off = c.off + 1
    if tag > 1 then fail(string.format("unknown enum value 0x%02x", tag)) end
    if tag == 1 then read_record(c, sub, k[2]) end
  elseif kind == "union_f64_pair" then
    need(c, 1)
    local tag = c.tvb(c.off, 1):uint()
    local sub = tree:add(pf[abbrev], c.tvb(c.off, 1))
    c.off = c.off + 1
    if tag ~= 0 then
      need(c, 16)
      sub:add(pf[abbrev .. ".1"], c.tvb(c.off, 8))
      sub:add(pf[abbrev .. ".2"], c.tvb(c.off + 8, 8))
      c.off = c.off + 16
    end
  end
end

-- Where the next magic starts at or after offset, or nil.
local function find_magic(tvb, offset)
  local len = tvb:captured_len()
  for i = offset, len - 4 do
    if tvb(i, 4):uint() == MAGIC then return i end
  end
  return nil
end

-- A PDU is a frame, or bytes that are not one followed by the next frame. The TCP layer refuses a PDU shorter
-- than the 8 bytes it needs to call this, so bytes before a magic come with the frame after them (or alone when
-- there are 8 or more), and bytes without a magic wait for more data while fewer than 11 (3 may start a magic).
local function pdu_len(tvb, pinfo, offset)
  local left = tvb:captured_len() - offset
  local at = offset
  if tvb(offset, 4):uint() ~= MAGIC then
    at = find_magic(tvb, offset + 1)
    if not at then return left >= 11 and left - 3 or 11 end
    if at - offset >= 8 then return at - offset end
  end
  if at + 8 > offset + left then return at - offset + 8 end
  local total = tvb(at + 4, 4):uint()
  if total < 8 then return at - offset + 8 end  -- a frame error: its 8 bytes, then the search goes on
  return at - offset + 8 + total
end

local dissect_frame

local function dissect_pdu(tvb, pinfo, tree)
  local len = tvb:captured_len()
  pinfo.cols.protocol = "pyostrel"
  local at = 0
  if tvb(0, 4):uint() ~= MAGIC then
    at = find_magic(tvb, 1) or len
    local item = tree:add(proto, tvb(0, at), "pyostrel: bytes between frames")
    item:add(hf.skipped, tvb(0, at), at)
    item:add_proto_expert_info(ef_skipped, "skipped " .. at .. " bytes")
  end
  if at + 8 <= len then dissect_frame(tvb(at):tvb(), pinfo, tree) end
  return len
end

dissect_frame = function(tvb, pinfo, tree)
  local len = tvb:captured_len()
  local total = tvb(4, 4):uint()
  local root = tree:add(proto, tvb())
  root:add(hf.magic, tvb(0, 4))
  root:add(hf.total_len, tvb(4, 4))
  if total < 8 then
    root:add_proto_expert_info(ef_frame, "total_len " .. total .. " is smaller than header length (8)")
    return len
  end
  root:add(hf.version, tvb(8, 1))
  root:add(hf.seq, tvb(9, 4))
  root:add(hf.flag, tvb(13, 1))
  local cmd = tvb(14, 2):uint()
  root:add(hf.cmd, tvb(14, 2))
  local entry = COMMANDS[cmd]
  local name = entry and entry[1] or string.format("0x%04x", cmd)
  local cls = entry and (from_client(pinfo) and entry[2] or entry[3])
  local info = name .. " seq=" .. tvb(9, 4):uint()
  if cls then
    root:add(hf.class, tvb(14, 2), cls)
    info = info .. " " .. cls
    root:append_text(", " .. cls)
    local c = {tvb = tvb, off = 16, stop = len, vals = {}}
    local ok, err = pcall(read_record, c, root, cls)
    if not ok then
      local msg = type(err) == "table" and err.msg or tostring(err)
      root:add_proto_expert_info(ef_malformed, cls .. " decode: " .. msg)
      if len > 16 then root:add(hf.body, tvb(16, len - 16)) end
      info = info .. " [malformed]"
    end
  elseif len > 16 then
    root:add(hf.body, tvb(16, len - 16))
  end
  pinfo.cols.info:append(info .. "; ")
  return len
end

function proto.dissector(tvb, pinfo, tree)
  pinfo.cols.info:clear()
  local ok, err = pcall(dissect_tcp_pdus, tvb, tree, 8, pdu_len, dissect_pdu, true)
  if not ok then
    tree:add_proto_expert_info(ef_frame, "dissector: " .. tostring(err))
  end
  return tvb:captured_len()
end

local function heuristic(tvb, pinfo, tree)
  if not proto.prefs.heuristic or tvb:captured_len() < 8 or tvb(0, 4):uint() ~= MAGIC then return false end
  pinfo.conversation = proto
  proto.dissector(tvb, pinfo, tree)
  return true
end
proto:register_heuristic("tcp", heuristic)

local claimed = ""
function proto.prefs_changed()
  local tcp = DissectorTable.get("tcp.port")
  if claimed ~= "" then tcp:remove(claimed, proto) end
  claimed = tostring(proto.prefs.ports or "")
  port_set = parse_ports(claimed)
  if claimed ~= "" then tcp:add(claimed, proto) end
end
