-- Wireshark / tshark dissector for the framed host protocol of the ethernet
-- terminal emulator: host commands (STX letter operands ETX), the terminal's
-- replies and status frames (STX ESC status letter ETX), and the terminal's
-- data bytes, in the plain framing and in the Comutadora framing, where every
-- frame carries the terminal's two-digit address after the command letter
-- (host commands) or after the ESC (replies), and every data byte travels in
-- its own frame STX address byte ETX.
--
-- Load it with:   wireshark -X lua_script:zorvane.lua
--                 tshark -X lua_script:zorvane.lua -r capture.pcapng
-- or copy it to ~/.local/lib/wireshark/plugins/. Preferences (Edit >
-- Preferences > Protocols > ZORVANE, or tshark -o zorvane.port:1001):
--   port       the TCP port to decode (default 1001, the terminal's server port)
--   side       whose port that is: "terminal" (the terminal is the server,
--              default) or "host" (the terminal calls the host on it)
--   framing    "plain" or "comutadora"
-- A frame split across TCP segments is reassembled before it is decoded, and
-- marked (expert info zorvane.spans_segments): the terminal interprets each
-- read on its own, so a command its read cut is one it may have taken as cut.
--
-- Installed with the package, it is read from Wireshark's global Lua plugin
-- folder; a second copy given with -X lua_script then leaves the first in place.

for _, name in ipairs(Dissector.list()) do
    if name == "zorvane" then
        return
    end
end

local zorvane = Proto("zorvane", "Zorvane terminal protocol")

local STX, ETX, ESC = 0x02, 0x03, 0x1b

local letter_names = {
    C = "cursor", D = "display text", G = "LEDs", L = "clear display", O = "cursor back",
    P = "printer byte", S = "serial byte", T = "status query",
}

local f = zorvane.fields
f.direction = ProtoField.string("zorvane.direction", "Direction")
f.frame = ProtoField.bytes("zorvane.frame", "Frame")
f.letter = ProtoField.string("zorvane.letter", "Command letter")
f.command = ProtoField.string("zorvane.command", "Command")
f.address = ProtoField.string("zorvane.address", "Terminal address")
f.row = ProtoField.string("zorvane.row", "Row (0-based)")
f.column = ProtoField.string("zorvane.column", "Column (0-based)")
f.text = ProtoField.string("zorvane.text", "Text")
f.leds = ProtoField.uint8("zorvane.leds", "LEDs", base.HEX)
f.led0 = ProtoField.bool("zorvane.leds.0", "LED 0", 8, nil, 0x01)
f.led1 = ProtoField.bool("zorvane.leds.1", "LED 1", 8, nil, 0x02)
f.led2 = ProtoField.bool("zorvane.leds.2", "LED 2", 8, nil, 0x04)
f.led3 = ProtoField.bool("zorvane.leds.3", "LED 3", 8, nil, 0x08)
f.operand = ProtoField.uint8("zorvane.operand", "Operand", base.HEX)
f.reply_to = ProtoField.string("zorvane.reply_to", "Reply to")
f.reply_status = ProtoField.string("zorvane.reply_status", "Reply status")
f.status = ProtoField.uint8("zorvane.status", "Status byte", base.HEX)
f.busy = ProtoField.bool("zorvane.status.busy", "Printer busy", 8, nil, 0x20)
f.cts = ProtoField.bool("zorvane.status.cts", "Serial CTS ticked", 8, nil, 0x08)
f.data = ProtoField.bytes("zorvane.data", "Terminal data")
f.stray = ProtoField.bytes("zorvane.stray", "Bytes outside frames")

local spans_segments = ProtoExpert.new("zorvane.spans_segments",
    "Frame spans TCP segments: the terminal reads each segment on its own and may have taken it as a cut command",
    expert.group.SEQUENCE, expert.severity.WARN)
zorvane.experts = { spans_segments }

-- The TCP payload length of the packet being dissected.
local tcp_len = Field.new("tcp.len")

zorvane.prefs.port = Pref.uint("TCP port", 1001, "The TCP port to decode")
zorvane.prefs.side = Pref.enum("Port side", 1, "Whose port it is",
    { { 1, "terminal", 1 }, { 2, "host", 2 } }, false)
zorvane.prefs.framing = Pref.enum("Framing", 1, "Plain or Comutadora framing",
    { { 1, "plain", 1 }, { 2, "comutadora", 2 } }, false)

local function comutadora()
    return zorvane.prefs.framing == 2
end

-- True for bytes the host sends to the terminal.
local function from_host(pinfo)
    local to_port = pinfo.dst_port == zorvane.prefs.port
    if zorvane.prefs.side == 1 then
        return to_port
    end
    return not to_port
end

local function find_byte(tvb, from, value)
    for i = from, tvb:len() - 1 do
        if tvb(i, 1):uint() == value then
            return i
        end
    end
    return nil
end

local function printable(tvb, offset, length)
    local out = {}
    for i = offset, offset + length - 1 do
        local b = tvb(i, 1):uint()
        if b >= 0x20 and b < 0x7f then
            out[#out + 1] = string.char(b)
        else
            out[#out + 1] = string.format("<%02x>", b)
        end
    end
    return table.concat(out)
end

-- One host command frame from offset to its ETX (inclusive); returns its summary.
local function host_frame(tvb, tree, offset, stop)
    local length = stop - offset + 1
    local item = tree:add(f.frame, tvb(offset, length))
    local letter = string.char(tvb(offset + 1, 1):uint())
    item:add(f.letter, tvb(offset + 1, 1), letter)
    item:add(f.command, tvb(offset + 1, 1), letter_names[letter] or "unknown")
    local body = offset + 2
    local summary = letter
    if comutadora() and stop - body >= 2 then
        local address = tvb(body, 2):string()
        item:add(f.address, tvb(body, 2), address)
        summary = summary .. " @" .. address
        body = body + 2
    end
    local n = stop - body
    if letter == "C" and n >= 3 then
        item:add(f.row, tvb(body, 1), tvb(body, 1):string())
        item:add(f.column, tvb(body + 1, 2), tvb(body + 1, 2):string())
        summary = summary .. " " .. tvb(body, 1):string() .. "," .. tvb(body + 1, 2):string()
    elseif letter == "D" and n > 0 then
        local text = printable(tvb, body, n)
        item:add(f.text, tvb(body, n), text)
        summary = summary .. ' "' .. text .. '"'
    elseif letter == "G" and n > 0 then
        local leds = item:add(f.leds, tvb(body, 1))
        leds:add(f.led0, tvb(body, 1))
        leds:add(f.led1, tvb(body, 1))
        leds:add(f.led2, tvb(body, 1))
        leds:add(f.led3, tvb(body, 1))
        summary = summary .. string.format(" %02x", tvb(body, 1):uint())
    elseif (letter == "O" or letter == "P" or letter == "S") and n > 0 then
        item:add(f.operand, tvb(body, 1))
        summary = summary .. " " .. printable(tvb, body, 1)
    end
    item:append_text(" (" .. summary .. ")")
    return summary
end

-- One terminal frame: a reply or status frame (STX ESC ...) or, in the
-- Comutadora framing, a data byte (STX "0" "0" b ETX).
local function terminal_frame(tvb, tree, offset, stop)
    local length = stop - offset + 1
    local item = tree:add(f.frame, tvb(offset, length))
    local body = offset + 1
    if tvb(body, 1):uint() == ESC then
        body = body + 1
        local summary = ""
        if comutadora() and stop - body >= 2 then
            local address = tvb(body, 2):string()
            item:add(f.address, tvb(body, 2), address)
            summary = "@" .. address .. " "
            body = body + 2
        end
        if stop - body >= 2 then
            local status = tvb(body, 1):uint()
            local letter = string.char(tvb(body + 1, 1):uint())
            if letter == "T" then
                local s = item:add(f.status, tvb(body, 1))
                s:add(f.busy, tvb(body, 1))
                s:add(f.cts, tvb(body, 1))
                item:add(f.reply_to, tvb(body + 1, 1), "T")
                summary = summary .. string.format("status %02x", status)
            else
                local word = status == 0x01 and "ready" or (status == 0x80 and "busy" or string.format("%02x", status))
                item:add(f.reply_to, tvb(body + 1, 1), letter)
                item:add(f.reply_status, tvb(body, 1), word)
                summary = summary .. "reply " .. letter .. " " .. word
            end
        end
        item:append_text(" (" .. summary .. ")")
        return summary
    end
    -- STX address byte ETX: one data byte of terminal 00
    local summary = "data"
    if stop - body >= 2 then
        local address = tvb(body, 2):string()
        item:add(f.address, tvb(body, 2), address)
        body = body + 2
        summary = "@" .. address .. " data"
    end
    if stop - body >= 1 then
        item:add(f.data, tvb(body, stop - body))
        summary = summary .. " " .. printable(tvb, body, stop - body)
    end
    item:append_text(" (" .. summary .. ")")
    return summary
end

-- Splits the bytes into pieces: frames (STX up to ETX, or up to the STX that
-- starts the next frame) and runs of bytes outside frames. A frame still open
-- at the end is left for reassembly: its offset is returned as the second value.
local function pieces(tvb)
    local length = tvb:len()
    local list = {}
    local offset = 0
    while offset < length do
        if tvb(offset, 1):uint() ~= STX then
            local next_stx = find_byte(tvb, offset, STX) or length
            list[#list + 1] = { offset, next_stx - 1, false }
            offset = next_stx
        else
            local etx = find_byte(tvb, offset + 1, ETX)
            local next_stx = find_byte(tvb, offset + 1, STX)
            if etx == nil and next_stx == nil then
                return list, offset
            end
            local stop
            if etx ~= nil and (next_stx == nil or etx < next_stx) then
                stop = etx
            else
                stop = next_stx - 1
            end
            list[#list + 1] = { offset, stop, stop - offset >= 1 }
            offset = stop + 1
        end
    end
    return list, nil
end

function zorvane.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length == 0 then
        return 0
    end
    local list, open_frame = pieces(tvb)
    if open_frame ~= nil then
        -- The rest of the frame is in a later segment.
        pinfo.desegment_offset = open_frame
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
        if #list == 0 then
            return length
        end
    end
    local host = from_host(pinfo)
    pinfo.cols.protocol = "ZORVANE"
    local subtree = tree:add(zorvane, tvb(), "Zorvane, " .. (host and "host to terminal" or "terminal to host"))
    subtree:add(f.direction, host and "host" or "terminal")
    -- Bytes before this packet's own payload came from earlier segments: they
    -- are the start of a frame that was left open for reassembly.
    local lengths = { tcp_len() }
    local own = lengths[#lengths] and lengths[#lengths].value or length
    local boundary = length - own
    local summaries = {}
    for _, piece in ipairs(list) do
        local first, last, frame = piece[1], piece[2], piece[3]
        if frame and first < boundary and last >= boundary then
            subtree:add_proto_expert_info(spans_segments)
        end
        if not frame then
            if host then
                subtree:add(f.stray, tvb(first, last - first + 1))
            else
                subtree:add(f.data, tvb(first, last - first + 1))
                summaries[#summaries + 1] = "data " .. printable(tvb, first, last - first + 1)
            end
        elseif host then
            summaries[#summaries + 1] = host_frame(tvb, subtree, first, last)
        else
            summaries[#summaries + 1] = terminal_frame(tvb, subtree, first, last)
        end
    end
    pinfo.cols.info = (host and "Host: " or "Terminal: ") .. table.concat(summaries, "; ")
    return length
end

local registered_port = nil
function zorvane.prefs_changed()
    local tcp = DissectorTable.get("tcp.port")
    if registered_port ~= nil then
        tcp:remove(registered_port, zorvane)
    end
    registered_port = zorvane.prefs.port
    tcp:add(registered_port, zorvane)
end

DissectorTable.get("tcp.port"):add(zorvane.prefs.port, zorvane)
registered_port = zorvane.prefs.port
