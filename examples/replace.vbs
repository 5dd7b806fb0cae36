' Replaces a recorded value an hour ago and reads it back. Replacing where no
' value exists is refused per value (OPCHDANoDataExists, 0xC004100D).
'   wine cscript //nologo replace.vbs
Option Explicit

Dim server, items, item, handles(2), times(2), data(2), qualities(2), errors, values, stamp, startTime, endTime, value

Set server = CreateObject("OPCHDA.Automation")
server.Connect "Sim.HdaHistorian"
Set items = server.OPCHDAItems
Set item = items.AddItem("Plant/Lab/Calibration/Ramp", 1)

stamp = CDate(Int(CDbl(Now - 1 / 24) * 8640) / 8640)   ' a ten-second sample time
handles(1) = item.ServerHandle : times(1) = stamp : data(1) = -5 : qualities(1) = 192
handles(2) = item.ServerHandle : times(2) = stamp + 5 / 86400 : data(2) = -6 : qualities(2) = 192
items.SyncReplace 2, handles, times, data, qualities, errors
WScript.Echo "Replace at " & times(1) & ": code 0x" & Hex(errors(1))
WScript.Echo "Replace at " & times(2) & ": code 0x" & Hex(errors(2))

startTime = stamp : endTime = stamp + 10 / 86400
items.SyncReadRaw startTime, endTime, 0, False, 1, handles, values, errors
For Each value In values(1)
    WScript.Echo "  " & value.TimeStamp & "  " & value.DataValue
Next

server.Disconnect
WScript.Echo "DONE"
