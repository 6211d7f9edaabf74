-- Wireshark dissector for the Telmora motion-capture protocol (TelmoraLink).
--
-- Reads the three kinds of datagram the protocol has:
--   announcements  one JSON object a server sends to the listening port (22000 by default),
--                  handed to Wireshark's JSON dissector;
--   keep-alives    "mobu:" followed by the subject a client asks for;
--   stream         sensor frames (packet type 6, every format version) with every field by
--                  name, and the one-byte end of stream (255).
-- Stream datagrams travel between ports the systems choose, so the dissector also looks at
-- every UDP datagram heuristically; and since a chosen port may belong to another protocol,
-- each announced stream port is taken for this protocol as soon as its announcement is read,
-- and each keep-alive's conversation with it.
--
-- Load it with:  wireshark -X lua_script:telmora.lua   (or copy it into the personal Lua plugins
-- folder that Help > About Wireshark > Folders names). Filter with "telmora".

local telmora = Proto("telmora", "Telmora motion capture")

local LISTEN_PORT = 22000
local FRAME_TYPE = 6
local END_OF_STREAM = 255
local FRAME_MIN_SIZE = 246
local KEEP_ALIVE = "mobu:"

local kinds = { [0] = "sensor frame", [1] = "end of stream", [2] = "keep-alive", [3] = "announcement" }
local components = { [0] = "w", [1] = "x", [2] = "y", [3] = "z" }
local rotations = { "hips", "left_hand", "right_hand", "left_foot", "right_foot",
                    "left_shoulder", "right_shoulder" }
local targetNames = { [0] = "left arm", "right arm", "left leg", "right leg", "spine",
                      "neck and head", "left thumb", "right thumb", "left index finger",
                      "right index finger", "left middle finger", "right middle finger",
                      "left ring finger", "right ring finger", "left little finger",
                      "right little finger" }

local f = {
    kind = ProtoField.uint8("telmora.kind", "Kind", base.DEC, kinds),
    type = ProtoField.uint8("telmora.type", "Packet type", base.DEC),
    version = ProtoField.uint8("telmora.version", "Format version", base.DEC),
    root_x = ProtoField.float("telmora.root_position.x", "Root position x (m)"),
    root_y = ProtoField.float("telmora.root_position.y", "Root position y (m)"),
    root_z = ProtoField.float("telmora.root_position.z", "Root position z (m)"),
    aux = ProtoField.float("telmora.aux", "Auxiliary value"),
    target = ProtoField.uint8("telmora.target", "Chain target", base.DEC, targetNames),
    position_x = ProtoField.float("telmora.target.position.x", "Position x"),
    position_y = ProtoField.float("telmora.target.position.y", "Position y"),
    position_z = ProtoField.float("telmora.target.position.z", "Position z"),
    pole_x = ProtoField.float("telmora.target.pole.x", "Pole x"),
    pole_y = ProtoField.float("telmora.target.pole.y", "Pole y"),
    pole_z = ProtoField.float("telmora.target.pole.z", "Pole z"),
    length = ProtoField.float("telmora.target.length", "Length"),
    hips_height = ProtoField.float("telmora.hips_height", "Hips height (m)"),
    trailer = ProtoField.uint8("telmora.trailer", "Trailer byte", base.HEX),
    subject = ProtoField.string("telmora.keepalive.subject", "Subject asked for"),
}
for _, name in ipairs(rotations) do
    local label = name:gsub("_", " ")
    f[name .. "_omitted"] = ProtoField.uint8("telmora.rotation." .. name .. ".omitted",
        label .. " rotation: omitted component", base.DEC, components)
    for _, c in ipairs({ "x", "y", "z", "w" }) do
        f[name .. "_" .. c] = ProtoField.float("telmora.rotation." .. name .. "." .. c,
            label .. " rotation " .. c)
    end
end
local fieldList = {}
for _, field in pairs(f) do fieldList[#fieldList + 1] = field end
telmora.fields = fieldList

local shortFrame = ProtoExpert.new("telmora.short_frame", "Sensor frame shorter than 246 bytes",
    expert.group.MALFORMED, expert.severity.ERROR)
telmora.experts = { shortFrame }

local json = Dissector.get("json")
local streamPorts = {}  -- announced stream ports already taken

-- Wireshark's Lua (5.2) has no integer division or bit operators: floor and powers of two.
local function div(a, b) return math.floor(a / b) end

-- The bit stream of the seven rotations: bit i is bit (i mod 8) of byte 14 + (i div 8), and
-- an n-bit field takes stream bit p + k as its bit k.
local function bitReader(tvb)
    local bytes = {}
    for i = 0, 38 do bytes[i] = tvb(14 + i, 1):uint() end
    local position = 0
    return function(width)
        local value = 0
        for k = 0, width - 1 do
            local p = position + k
            local bit = div(bytes[div(p, 8)] or 0, 2 ^ (p % 8)) % 2
            value = value + bit * 2 ^ k
        end
        position = position + width
        return value
    end
end

local function signed14(raw)
    if raw >= 8192 then raw = raw - 16384 end
    return raw / 10000.0
end

local function addRotation(tree, tvb, read, name, index)
    local omitted = read(2)
    local e1, e2, e3 = signed14(read(14)), signed14(read(14)), signed14(read(14))
    local s = math.sqrt(math.abs(1 - (e1 * e1 + e2 * e2 + e3 * e3)))
    local x, y, z, w
    if omitted == 0 then x, y, z, w = e1, e2, e3, s
    elseif omitted == 1 then x, y, z, w = s, e2, e3, e1
    elseif omitted == 2 then x, y, z, w = e2, s, e3, e1
    else x, y, z, w = e2, e3, s, e1 end
    -- Each rotation covers the bytes its 44 bits touch.
    local first = 14 + div(index * 44, 8)
    local last = 14 + div(index * 44 + 43, 8)
    local range = tvb(first, last - first + 1)
    local sub = tree:add(telmora, range, string.format(
        "%s rotation: (%.4f, %.4f, %.4f, %.4f)", name:gsub("_", " "), x, y, z, w))
    sub:add(f[name .. "_omitted"], range, omitted)
    sub:add(f[name .. "_x"], range, x)
    sub:add(f[name .. "_y"], range, y)
    sub:add(f[name .. "_z"], range, z)
    sub:add(f[name .. "_w"], range, w)
end

local function dissectFrame(tvb, pinfo, tree)
    pinfo.cols.info = "Sensor frame"
    local subtree = tree:add(telmora, tvb(), "Telmora sensor frame")
    subtree:add(f.kind, tvb(0, 1), 0)
    subtree:add(f.type, tvb(0, 1))
    local size = tvb:len()
    if size < FRAME_MIN_SIZE then
        subtree:add_proto_expert_info(shortFrame)
        return
    end
    local version = tvb(1, 1):uint()
    subtree:add(f.version, tvb(1, 1))
    subtree:add_le(f.root_x, tvb(2, 4))
    subtree:add_le(f.root_y, tvb(6, 4))
    subtree:add_le(f.root_z, tvb(10, 4))
    local read = bitReader(tvb)
    for index, name in ipairs(rotations) do addRotation(subtree, tvb, read, name, index - 1) end
    local offset = 53
    if version >= 2 then
        local aux = subtree:add(telmora, tvb(offset, 24), "Auxiliary values")
        for i = 0, 11 do
            aux:add(f.aux, tvb(offset, 2), tvb(offset, 2):le_int() / 32767.0)
            offset = offset + 2
        end
    end
    local function scalar(tree, field)
        tree:add(field, tvb(offset, 2), tvb(offset, 2):le_int() / 32767.0)
        offset = offset + 2
    end
    for t = 0, 15 do
        local withPole = t < 6
        local count = withPole and 7 or 4
        local target = subtree:add(f.target, tvb(offset, 2 * count), t)
        scalar(target, f.position_x)
        scalar(target, f.position_y)
        scalar(target, f.position_z)
        if withPole then
            scalar(target, f.pole_x)
            scalar(target, f.pole_y)
            scalar(target, f.pole_z)
        end
        scalar(target, f.length)
    end
    subtree:add(f.hips_height, tvb(offset, 2), tvb(offset, 2):le_uint() / 65535.0 * 2)
    subtree:add(f.trailer, tvb(size - 1, 1))
end

local function startsWith(tvb, text)
    return tvb:len() >= #text and tvb(0, #text):string() == text
end

local function isAnnouncement(tvb, pinfo)
    if tvb:len() < 2 or tvb(0, 1):uint() ~= 0x7B then return false end  -- '{'
    return pinfo.dst_port == LISTEN_PORT or tvb():string():find('"serverName"', 1, true) ~= nil
end

-- The kind of a datagram, or nil when it is none of the protocol's.
local function kindOf(tvb, pinfo)
    local size = tvb:len()
    if size == 0 then return nil end
    local first = tvb(0, 1):uint()
    if first == FRAME_TYPE and size >= FRAME_MIN_SIZE then return 0 end
    if first == END_OF_STREAM and size == 1 then return 1 end
    if startsWith(tvb, KEEP_ALIVE) then return 2 end
    if isAnnouncement(tvb, pinfo) then return 3 end
    return nil
end

function telmora.dissector(tvb, pinfo, tree)
    local kind = kindOf(tvb, pinfo)
    if kind == nil then
        -- On the listening port everything is the protocol's: show what it is not.
        if tvb:len() > 0 and tvb(0, 1):uint() == FRAME_TYPE then
            pinfo.cols.protocol = "Telmora"
            dissectFrame(tvb, pinfo, tree)
            return tvb:len()
        end
        return 0
    end
    pinfo.cols.protocol = "Telmora"
    if kind == 0 then
        dissectFrame(tvb, pinfo, tree)
    elseif kind == 1 then
        pinfo.cols.info = "End of stream"
        local subtree = tree:add(telmora, tvb(), "Telmora end of stream")
        subtree:add(f.kind, tvb(0, 1), 1)
    elseif kind == 2 then
        -- The stream comes back on this conversation.
        pinfo.conversation = telmora
        local subject = tvb(#KEEP_ALIVE):string()
        pinfo.cols.info = "Keep-alive for subject '" .. subject .. "'"
        local subtree = tree:add(telmora, tvb(), "Telmora keep-alive")
        subtree:add(f.kind, tvb(0, #KEEP_ALIVE), 2)
        subtree:add(f.subject, tvb(#KEEP_ALIVE))
    else
        pinfo.cols.info = "Announcement"
        local subtree = tree:add(telmora, tvb(), "Telmora announcement")
        subtree:add(f.kind, tvb(0, 1), 3)
        if json then json:call(tvb, pinfo, tree) end
        pinfo.cols.protocol = "Telmora"
        local port = tonumber(tvb():string():match('"streamPort"%s*:%s*(%d+)'))
        if port and port > 0 and port < 65536 and not streamPorts[port] then
            streamPorts[port] = true
            DissectorTable.get("udp.port"):add(port, telmora)
        end
    end
    return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
    if kindOf(tvb, pinfo) == nil then return false end
    telmora.dissector(tvb, pinfo, tree)
    return true
end

DissectorTable.get("udp.port"):add(LISTEN_PORT, telmora)
telmora:register_heuristic("udp", heuristic)
