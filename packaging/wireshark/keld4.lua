-- SPDX-License-Identifier: Apache-2.0
-- Wireshark dissector for the keld4 coordinator protocol.
--
-- Every UDP datagram carries one message: a 40-byte header of ten big-endian
-- 32-bit fields, then exactly dataleng bytes of data. The agent sends alive
-- (24 bytes of data), CPU-load (4 bytes) and down (no data) messages; the
-- coordinator sends Coor_alive (type 1, id 4, 28 bytes of data).
--
-- Installed into Wireshark's global Lua plugin folder; elsewhere load it with
--   tshark -X lua_script:keld4.lua ...
-- The UDP port is the preference keld4.port (default 45002).

local HEADER_LEN = 40
local MSG_ALIVE = 0x00000001
local MSG_CPU_LOAD = 0x01200001
local MSG_DOWN = 0x00005001
local ID_AGENT = 1
local ID_COORDINATOR = 4

local keld4 = Proto("keld4", "keld4 load-balancing agent protocol")

local type_names = {
    [MSG_ALIVE] = "MSG_ALIVE",
    [MSG_CPU_LOAD] = "MSG_CPU_LOAD",
    [MSG_DOWN] = "MSG_DOWN",
}
local id_names = { [ID_AGENT] = "agent", [ID_COORDINATOR] = "coordinator" }
local os_names = { [0] = "other", [1] = "Windows 2000", [4] = "Windows Server 2003" }
local loglevel_names = {
    [1] = "INFO and ERR",
    [2] = "INFO, ERR and WARN",
    [3] = "INFO, ERR, WARN and DEBUG",
}

local f = keld4.fields
f.desId = ProtoField.uint32("keld4.desId", "desId", base.DEC)
f.type = ProtoField.uint32("keld4.type", "type", base.HEX, type_names)
f.status = ProtoField.uint32("keld4.status", "status", base.HEX)
f.sequence = ProtoField.uint32("keld4.sequence", "sequence", base.DEC)
f.dataleng = ProtoField.uint32("keld4.dataleng", "dataleng", base.DEC)
f.id = ProtoField.uint32("keld4.id", "id", base.DEC, id_names)
f.srcAddr = ProtoField.ipv4("keld4.srcAddr", "srcAddr")
f.desAddr = ProtoField.ipv4("keld4.desAddr", "desAddr")
f.param = ProtoField.uint32("keld4.param", "param", base.DEC)
f.reserved = ProtoField.uint32("keld4.reserved", "reserved", base.HEX)
f.kind = ProtoField.string("keld4.kind", "message")

f.ostype = ProtoField.uint16("keld4.alive.Ostype", "Ostype", base.DEC, os_names)
f.mac = ProtoField.string("keld4.alive.Mac", "Mac")
f.freq = ProtoField.uint32("keld4.alive.Freq", "Freq (MHz)", base.DEC)

f.cpuLoad = ProtoField.uint32("keld4.cpu.cpuLoad", "cpuLoad", base.DEC)

f.coorUnread = ProtoField.uint32("keld4.coor.unread", "not read by the agent", base.HEX)
f.loglevel = ProtoField.uint32("keld4.coor.loglevel", "loglevel", base.DEC, loglevel_names)
f.logRefresh = ProtoField.uint32("keld4.coor.LogRefreshInterval", "LogRefreshInterval", base.DEC)
f.dwAlive = ProtoField.uint32("keld4.coor.dwAlive", "dwAlive (s)", base.DEC)
f.cpuSend = ProtoField.uint32("keld4.coor.CpuSendInterval", "CpuSendInterval (s)", base.DEC)

f.data = ProtoField.bytes("keld4.data", "data")

local e_length = ProtoExpert.new("keld4.length", "Datagram length is not 40 + dataleng",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_short = ProtoExpert.new("keld4.short", "Datagram shorter than the 40-byte header",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_coor_short = ProtoExpert.new("keld4.coor.short", "Coor_alive data shorter than 28 bytes (ignored by the agent)",
    expert.group.PROTOCOL, expert.severity.WARN)
keld4.experts = { e_length, e_short, e_coor_short }

keld4.prefs.port = Pref.uint("UDP port", 45002, "UDP port of the agent and the coordinator (PortNumber)")

-- The kind of a message by its type and id.
local function kind_of(mtype, id)
    if mtype == MSG_ALIVE then
        return id == ID_COORDINATOR and "Coor_alive" or "alive"
    elseif mtype == MSG_CPU_LOAD then
        return "CPU load"
    elseif mtype == MSG_DOWN then
        return "down"
    end
    return string.format("type 0x%08x", mtype)
end

local function alive_data(data, tree)
    local t = tree:add(keld4, data, "AliveData")
    if data:len() >= 2 then t:add(f.ostype, data(0, 2)) end
    if data:len() >= 20 then t:add(f.mac, data(2, 18), data(2, 18):stringz()) end
    if data:len() >= 24 then t:add(f.freq, data(20, 4)) end
    return data:len() >= 20 and (" " .. data(2, 18):stringz()) or ""
end

local function cpu_load_data(data, tree)
    local t = tree:add(keld4, data, "CpuLoadData")
    if data:len() >= 4 then
        t:add(f.cpuLoad, data(0, 4))
        return " load=" .. data(0, 4):uint()
    end
    return ""
end

local function coor_alive_data(data, tree, pinfo)
    local t = tree:add(keld4, data, "CoorAliveData")
    local named = { [2] = f.loglevel, [3] = f.logRefresh, [4] = f.dwAlive, [6] = f.cpuSend }
    -- Only whole fields within the first 28 bytes; more data is not read.
    for i = 0, 6 do
        if data:len() >= (i + 1) * 4 then t:add(named[i] or f.coorUnread, data(i * 4, 4)) end
    end
    if data:len() < 28 then
        t:add_proto_expert_info(e_coor_short)
        return ""
    end
    return string.format(" alive=%u cpu=%u loglevel=%u logrefresh=%u", data(16, 4):uint(),
        data(24, 4):uint(), data(8, 4):uint(), data(12, 4):uint())
end

function keld4.dissector(tvb, pinfo, tree)
    local length = tvb:reported_length_remaining()
    pinfo.cols.protocol = "KELD4"
    local root = tree:add(keld4, tvb(), "keld4")
    if length < HEADER_LEN then
        root:add_proto_expert_info(e_short)
        pinfo.cols.info = "[Malformed] " .. length .. " bytes, shorter than the header"
        return length
    end

    local mtype = tvb(4, 4):uint()
    local dataleng = tvb(16, 4):uint()
    local id = tvb(20, 4):uint()
    local kind = kind_of(mtype, id)
    root:append_text(": " .. kind)
    root:add(f.kind, kind):set_generated()

    local h = root:add(keld4, tvb(0, HEADER_LEN), "MsgHeader")
    h:add(f.desId, tvb(0, 4))
    h:add(f.type, tvb(4, 4))
    h:add(f.status, tvb(8, 4))
    h:add(f.sequence, tvb(12, 4))
    local lengthItem = h:add(f.dataleng, tvb(16, 4))
    h:add(f.id, tvb(20, 4))
    h:add(f.srcAddr, tvb(24, 4))
    h:add(f.desAddr, tvb(28, 4))
    local paramItem = h:add(f.param, tvb(32, 4))
    if mtype == MSG_DOWN then
        local osid = tvb(32, 4):uint()
        paramItem:append_text(" (OSID: " .. (os_names[osid] or "unknown") .. ")")
    end
    h:add(f.reserved, tvb(36, 4))

    local info = kind .. " " .. tostring(tvb(24, 4):ipv4()) .. " -> " .. tostring(tvb(28, 4):ipv4())
    local malformed = length ~= HEADER_LEN + dataleng
    if malformed then
        lengthItem:add_proto_expert_info(e_length, string.format(
            "Datagram length %d is not 40 + dataleng (%d)", length, HEADER_LEN + dataleng))
        info = "[Malformed] " .. info
    end

    local available = length - HEADER_LEN
    if available > 0 then
        local data = tvb(HEADER_LEN, math.min(available, dataleng > 0 and dataleng or available))
        if malformed and dataleng == 0 then
            root:add(f.data, data)
        elseif mtype == MSG_ALIVE and id == ID_COORDINATOR then
            info = info .. coor_alive_data(data, root, pinfo)
        elseif mtype == MSG_ALIVE then
            info = info .. alive_data(data, root)
        elseif mtype == MSG_CPU_LOAD then
            info = info .. cpu_load_data(data, root)
        else
            root:add(f.data, data)
        end
    end
    pinfo.cols.info = info
    return length
end

local registered_port = nil
local function register_port()
    local udp = DissectorTable.get("udp.port")
    if registered_port ~= nil then udp:remove(registered_port, keld4) end
    registered_port = keld4.prefs.port
    udp:add(registered_port, keld4)
end

function keld4.prefs_changed()
    if registered_port ~= keld4.prefs.port then register_port() end
end

register_port()
